#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the two set-up commands of README.md on pristine minimal Debian roots,
# as a newcomer would: a clean clone of the committed HEAD under /root, then
# `bash scripts/demo.sh`, then `bash scripts/build_and_test.sh`.
#
#   bash scripts/fresh_machine_check.sh [--no-fuzz | --fuzz-runs N] [SUITE...]
#                                                          (default suites: bookworm trixie)
#
# Each root is made by scripts/pristine_root.sh (minbase, plus git) and thrown
# away afterwards.
# --no-fuzz skips the fuzzing run at the end of the test command (never the
# demo, the ordinary suite or the sanitized suite); --fuzz-runs N builds the
# fuzzers as the test command does and runs N inputs per tool instead of a few
# thousand. Logs: build/fresh-machine/.
# The exit status is non-zero when any command failed in any suite.
set -uo pipefail
. "$(dirname "$0")/root_steps.sh"

# Inside mmdebstrap's customize hook: $2 is the new root, $3 the log folder.
if [ "${1:-}" = "--inside" ]; then
  root=$2 logs=$3
  git clone -q "$(cd "$(dirname "$0")/.." && pwd)" "$root/root/dorvel-quimbrel" || exit 1
  for step in demo build_and_test; do
    root_step "$root" "$logs" "$step" "bash scripts/$step.sh" SKIP_FUZZ="${SKIP_FUZZ:-}" \
      FUZZ_RUNS="${FUZZ_RUNS:-}"
  done
  # What the fuzzers found, kept: the root is thrown away.
  cp -r "$root/root/dorvel-quimbrel/build-fuzz/findings" "$logs/" 2>/dev/null
  exit 0
fi

cd "$(dirname "$0")/.."
self="$(pwd)/scripts/fresh_machine_check.sh"
export SKIP_FUZZ= FUZZ_RUNS=
case ${1:-} in
  --no-fuzz) SKIP_FUZZ=1; shift ;;
  --fuzz-runs) FUZZ_RUNS=$2; shift 2 ;;
esac
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(bookworm trixie)

# Once, before the suites run side by side: two apt-get runs at once would collide.
bash scripts/install_deps.sh root >/dev/null || exit 1
out=$(pwd)/build/fresh-machine
mkdir -p "$out"
# The suites run side by side: one downloads and unpacks while the other compiles.
for suite in "${suites[@]}"; do
  rm -rf "${out:?}/$suite"
  mkdir -p "$out/$suite"
  make_root "$suite" "$out/$suite" "\"$self\" --inside \"\$1\" \"$out/$suite\"" &
done
wait
failed=0
for suite in "${suites[@]}"; do
  logs="$out/$suite"
  report_root "$suite" "$logs" demo build_and_test || failed=1
  grep -E '^[0-9]{8} [0-9*]{4} neg ' "$logs/demo.log" 2>/dev/null | sed 's/^/   demo summary: /'
  grep -E 'tests passed|Done [0-9]+ runs|^== fuzzing' "$logs/build_and_test.log" 2>/dev/null | sed 's/^/   /'
done
exit $failed
