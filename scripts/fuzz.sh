#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fuzzes dorvel and quimbrel on their input file with libFuzzer (clang), under
# AddressSanitizer and UndefinedBehaviorSanitizer, from generated seeds.
#
#   bash scripts/fuzz.sh --quick         a few thousand inputs per tool (part of the tests;
#                                        FUZZ_RUNS sets how many)
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
# ecCodes 2.28 loses the buffer it reads a damaged message into when the
# message ends early (as large as the length the header claims). A tool run
# once per process loses it once, but a fuzzer runs thousands of inputs in one
# process, and the losses grew it past its memory limit. So each tool is
# fuzzed in rounds, each a new process that starts from the corpus so far:
# at most 1000 inputs or 30 seconds a round.
quick=0 total=${1:-60}
if [ "${1:-}" = "--quick" ]; then
  quick=1 total=${FUZZ_RUNS:-3000}
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
  left=$total
  while [ "$left" -gt 0 ]; do
    if [ $quick -eq 1 ]; then
      # The quick run is part of the test command: a seed of its own per
      # round makes it the same run every time (the timed run explores anew).
      round=$((left < 1000 ? left : 1000)) limit=(-runs="$round" -seed=$((left / 1000 + 1)))
    else
      round=$((left < 30 ? left : 30)) limit=(-max_total_time="$round")
    fi
    left=$((left - round))
    echo "== fuzzing $tool (${limit[*]}, $left left)"
    # ecCodes reports damaged messages on stderr; only libFuzzer's own lines are kept.
    (cd build-fuzz/findings && "$root/build-fuzz/tests/fuzz/${tool}_fuzz" "${limit[@]}" \
       -max_len=65536 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1048576 -print_final_stats=1 \
       -artifact_prefix="$root/build-fuzz/findings/${tool}-" "$corpus" "$seeds") \
      2> >(grep -v -E '^ECCODES|^$' | grep -E '^#|stat::|ERROR|SUMMARY|Done|crash|timeout|leak' | tail -n 12) \
      || { status=1; break; }
    wait
  done
done
exit $status
