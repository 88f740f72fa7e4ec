#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh --tests
bash scripts/build.sh
cd build
ctest --output-on-failure -j "$(nproc)"
cd ..
# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
bash scripts/sanitize_and_test.sh
# A short, bounded fuzzing run of both tools (a few thousand inputs each);
# SKIP_FUZZ=1 leaves it out where time is short.
[ -n "${SKIP_FUZZ:-}" ] || bash scripts/fuzz.sh --quick
