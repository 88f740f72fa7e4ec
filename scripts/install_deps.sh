#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the project needs, when missing.
#
#   scripts/install_deps.sh            what the build needs: both README commands
#   scripts/install_deps.sh --tests    that and what only the tests, the benchmark
#                                      and the fuzzing add
#
# Every package the build touches belongs in `build`, even one that only a
# CMake package file refers to (ecCodes' refers to codes_info, in
# libeccodes-tools): the demo runs the build alone.
set -euo pipefail
build=(cmake make g++ pkg-config libeccodes-dev libeccodes-tools libgtest-dev)
# clang and libclang-rt-dev are the distribution's default versions, whichever they are.
tests=(valgrind dpkg-dev file man-db groff-base parallel hyperfine cdo time python3
       python3-matplotlib clang libclang-rt-dev)
packages=("${build[@]}")
if [ "${1:-}" = "--tests" ]; then packages+=("${tests[@]}"); fi
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == *"ok installed"* ]] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get -o Acquire::Retries=3 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
