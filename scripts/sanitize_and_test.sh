#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the whole test suite on that build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh --tests
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWARNINGS_AS_ERRORS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-asan -j "$(nproc)"
cd build-asan
# Timing figures mean nothing under the sanitizers, and valgrind cannot run
# sanitized programs: the benchmark and the memcheck are left out, and so is
# the check of a build without libseccomp (a build of its own, unsanitized).
# As with glibc, an allocation that cannot be made returns null (ecCodes then
# asserts, and the tools report it) instead of aborting.
# The leak check at exit reads /proc and attaches to the threads with ptrace,
# which the tools' confinement refuses: it is switched off here (the unit test
# still confines a child of its own).
export GRIB_TOOLS_NO_SANDBOX=1
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$(pwd)/../tests/lsan.supp:print_suppressions=0" \
  ctest --output-on-failure -j "$(nproc)" -E "bench_quick|valgrind_memcheck|without_seccomp"
