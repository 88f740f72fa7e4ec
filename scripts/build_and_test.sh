#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tests also run the benchmark's quick mode, which needs its tools.
bash scripts/install_deps.sh hyperfine cdo libeccodes-tools time python3
bash scripts/build.sh
cd build
ctest --output-on-failure -j "$(nproc)"
cd ..
# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
bash scripts/sanitize_and_test.sh
# A short, bounded fuzzing run of both tools (a few thousand inputs each).
bash scripts/fuzz.sh --quick
