#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the tools, makes a sample input and runs them on it, showing each
# run's exit status as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
demo=build/demo
mkdir -p "$demo"
build/tests/make_test_gribs sample "$demo/sample.grb" 20190101 600
failed=0
show() {
  echo "\$ $*"
  local status=0
  "build/$1/$1" "${@:2}" || status=$?
  echo "exit status $status"
  [ "$status" -eq 0 ] || failed=1
}
show dorvel "$demo/sample.grb" "$demo/residual.grb"
show quimbrel "$demo/sample.grb" "$demo/last_ten.grb" 2
show quimbrel "$demo/sample.grb" "$demo/first_three.grb" -3
exit $failed
