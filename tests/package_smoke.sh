#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs inside a pristine root (package_check.sh): installs the package file
# given, runs both programs on the sample beside it and shows a manual page.
set -euo pipefail
cd /tmp
bash install_deps.sh "$1"
echo "installed; ecCodes library: $(dpkg-query -W -f='${Package} ${Version}' libeccodes0)"
dorvel --version
dorvel sample.grb residual.grb
quimbrel sample.grb first.grb -1
[ "$(stat -c %s first.grb)" -gt 0 ]
man dorvel 2>/dev/null | grep -q "twelve" && echo "man dorvel: shown"
