#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures and builds the project into build/ (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j "$(nproc)"
