#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Prints this machine's Debian apt sources in one-line form, with its suite
# renamed to SUITE (bookworm-security becomes SUITE-security, and so on), for
# pristine roots made by mmdebstrap from the same mirrors.
#   bash scripts/debian_sources.sh SUITE
set -euo pipefail
suite=$1
host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  if [ -f "$file" ]; then
    grep -E "^deb[[:space:]].*[[:space:]]$host_suite(-[a-z]+)?[[:space:]]" "$file" || true
  fi
done
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  awk -v host="$host_suite" '
    function flush() {
      if (types ~ /(^| )deb( |$)/) {
        n = split(suites, s, " ")
        for (i = 1; i <= n; i++) {
          if (s[i] == host || index(s[i], host "-") == 1) {
            m = split(uris, u, " ")
            for (j = 1; j <= m; j++) print "deb " u[j] " " s[i] " " components
          }
        }
      }
      types = uris = suites = components = ""
    }
    /^[[:space:]]*$/ { flush(); next }
    /^#/ { next }
    /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0 }
    /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
    /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
    /^Components:/ { sub(/^Components:[[:space:]]*/, ""); components = $0 }
    END { flush() }' "$file"
done | sed -E "s/[[:space:]]$host_suite(-[a-z]+)?[[:space:]]/ $suite\1 /"
