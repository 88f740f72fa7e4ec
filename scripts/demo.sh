#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the tools, makes a sample input and runs them on it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
demo=build/demo
mkdir -p "$demo"
build/tests/make_test_gribs sample "$demo/sample.grb" 20190101 600
echo "\$ dorvel $demo/sample.grb $demo/residual.grb"
build/dorvel/dorvel "$demo/sample.grb" "$demo/residual.grb"
echo "exit status $?"
echo "\$ quimbrel $demo/sample.grb $demo/last_ten.grb 2"
build/quimbrel/quimbrel "$demo/sample.grb" "$demo/last_ten.grb" 2
echo "exit status $?"
echo "\$ quimbrel $demo/sample.grb $demo/first_three.grb -3"
build/quimbrel/quimbrel "$demo/sample.grb" "$demo/first_three.grb" -3
echo "exit status $?"
