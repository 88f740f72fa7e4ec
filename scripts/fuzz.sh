#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fuzzes dorvel and quimbrel on their input file with libFuzzer (clang), under
# AddressSanitizer and UndefinedBehaviorSanitizer, from generated seeds.
#
#   bash scripts/fuzz.sh --quick         a few thousand inputs per tool (part of the tests)
#   bash scripts/fuzz.sh SECONDS         SECONDS per tool, corpus kept in build-fuzz/corpus
#
# Crashes and hangs are written to build-fuzz/findings/ and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh --tests
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=OFF -DBUILD_FUZZERS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
# The generator is an ordinary build's program; the fuzz build has no tests.
cmake -S . -B build-fuzz-seeds -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-fuzz-seeds -j "$(nproc)" --target make_test_gribs
cmake --build build-fuzz -j "$(nproc)" --target dorvel_fuzz quimbrel_fuzz

root=$(pwd)
seeds="$root/build-fuzz/seeds"
build-fuzz-seeds/tests/make_test_gribs seeds "$seeds" 2>/dev/null
mkdir -p build-fuzz/findings
if [ "${1:-}" = "--quick" ]; then
  limit=(-runs=3000)
else
  limit=(-max_total_time="${1:-60}")
fi
# A damaged header can claim a message of terabytes, and the reader asks
# malloc for that much before reading; the read then fails when the request
# fails or the file ends. As on a host with strict overcommit, a request over
# 4 GiB returns null here (AddressSanitizer would otherwise map shadow memory
# for all of it), and only memory really used counts against -rss_limit_mb.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:max_allocation_size_mb=4096"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
status=0
for tool in dorvel quimbrel; do
  corpus="$root/build-fuzz/corpus/$tool"
  mkdir -p "$corpus"
  echo "== fuzzing $tool (${limit[*]})"
  # ecCodes reports damaged messages on stderr; only libFuzzer's own lines are kept.
  (cd build-fuzz/findings && "$root/build-fuzz/tests/fuzz/${tool}_fuzz" "${limit[@]}" \
     -max_len=65536 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1048576 -print_final_stats=1 \
     -artifact_prefix="$root/build-fuzz/findings/${tool}-" "$corpus" "$seeds") \
    2> >(grep -v -E '^ECCODES|^$' | grep -E '^#|stat::|ERROR|SUMMARY|Done|crash|timeout|leak' | tail -n 30) \
    || status=1
done
wait
exit $status
