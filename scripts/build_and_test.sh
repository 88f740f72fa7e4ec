#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds, and runs the whole test suite. Each step is
# named; when one fails, the last line names it and the command exits with
# its status.
set -uo pipefail
cd "$(dirname "$0")/.."

# step NAME COMMAND...: runs COMMAND; on failure, says which step failed and ends.
step() {
  local name=$1 status
  shift
  echo "== $name"
  "$@"
  status=$?
  if [ $status -ne 0 ]; then
    echo "== build_and_test.sh: FAILED at step '$name' (exit $status)"
    exit $status
  fi
}

step "install" bash scripts/install_deps.sh --tests
step "build" bash scripts/build.sh
step "tests" bash -c 'cd build && ctest --output-on-failure -j "$(nproc)"'
# The same suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
step "sanitized tests" bash scripts/sanitize_and_test.sh
# A short, bounded fuzzing run of both tools (a few thousand inputs each);
# SKIP_FUZZ=1 leaves it out where time is short.
[ -n "${SKIP_FUZZ:-}" ] || step "fuzzing" bash scripts/fuzz.sh --quick
echo "== build_and_test.sh: all steps passed"
