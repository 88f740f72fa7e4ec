#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders each manual page with groff's warnings on; any warning fails.
set -uo pipefail
failed=0
for page in "$@"; do
  warnings=$( { groff -man -Tutf8 -ww -z "$page"; MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    failed=1
  fi
  rendered=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  grep -q "EXIT STATUS" <<<"$rendered" || { echo "$page: no EXIT STATUS"; failed=1; }
done
exit $failed
