#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes a pristine minimal Debian root with mmdebstrap, runs commands in it and
# throws it away: the one place that makes such roots.
#
#   scripts/pristine_root.sh SUITE LOG PACKAGES HOOK...
#
# The root is SUITE (variant minbase, plus the comma-separated PACKAGES), from
# the mirrors this machine's apt uses with its suites renamed. Each HOOK is a
# shell command that mmdebstrap runs once the root is ready, with the root as
# "$1". mmdebstrap mounts what the chroot needs, inside a mount namespace of
# its own, and writes the root to /dev/null: nothing stays mounted or on disk
# whatever fails. Its output goes to LOG; the exit status is its own.
set -uo pipefail
suite=$1 log=$2 packages=$3
shift 3
scripts=$(cd "$(dirname "$0")" && pwd)
bash "$scripts/install_deps.sh" root >/dev/null || exit 1
sources=$(mktemp)
trap 'rm -f "$sources"' EXIT
bash "$scripts/debian_sources.sh" "$suite" >"$sources"
hooks=()
for hook in "$@"; do hooks+=(--customize-hook="$hook"); done
# Valid-Until is not checked: the mirror's testing suite can be a snapshot past
# that date, which apt would refuse as expired.
unshare --mount --propagation private \
  mmdebstrap --mode=root --variant=minbase --include="$packages" "${hooks[@]}" \
  --aptopt='Acquire::Check-Valid-Until "false"' \
  "$suite" /dev/null "$sources" >"$log" 2>&1
