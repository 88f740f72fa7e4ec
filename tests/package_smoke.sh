#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs inside a pristine root (package_check.sh): installs the package file
# given and what its batch commands suggest, then uses the installed commands
# alone: both programs on the sample beside it, a batch with its summary, the
# ecFlow suite's definition, and the manual pages.
set -euo pipefail
cd /tmp
bash install_deps.sh "$1"
apt-get install -y -qq --no-install-recommends parallel python3-matplotlib python3-ecflow >/dev/null
echo "installed; ecCodes library: $(dpkg-query -W -f='${Package} ${Version}' libeccodes0)"
dorvel --version
# README's examples from the package, as written, on the sample it carries.
dorvel /usr/share/grib-dorvel-quimbrel/sample.grb residual.grb | tee summary_line
[ "$(cat summary_line)" = "20190101 0600 neg   985 ave  -0.000" ]
quimbrel /usr/share/grib-dorvel-quimbrel/sample.grb first_three.grb -3
[ "$(stat -c %s first_three.grb)" -gt 0 ]
cmp -s /usr/share/grib-dorvel-quimbrel/sample.grb sample.grb && echo "the sample: the one the build made"
mkdir in
cp sample.grb in/day_20190101.grb && cp sample.grb in/day_20190102.grb
dorvel-run-many in out
[ -s out/day_20190102.res.grb ] && [ "$(grep -c 'exit status 0' out/runs.log)" -eq 2 ]
dorvel-summary --neg-limit 1000 out && [ -s out/summary.png ] && echo "dorvel-run-many, dorvel-summary: 2 runs summarized"
dorvel-ecflow-suite --inputs in --results checks --first 20190101 --last 20190102 --ecf-home /tmp \
  --write suite.def
grep -q "ECF_FILES '/usr/share/grib-dorvel-quimbrel/operations/ecflow'" suite.def &&
  [ -f /usr/share/grib-dorvel-quimbrel/operations/ecflow/wait.ecf ] && echo "dorvel-ecflow-suite: definition written"
for page in dorvel dorvel-run-many dorvel-slurm-array dorvel-summary dorvel-ecflow-suite; do
  man "$page" 2>/dev/null | grep -q "EXIT STATUS" || { echo "no manual page $page"; exit 1; }
done
echo "man pages: shown"
# Every link of the installed README leads to a file the package carries.
links=$( (grep -o '](docs/[^)]*)' /usr/share/doc/grib-dorvel-quimbrel/README.md 2>/dev/null || true) |
  sed 's/^](//; s/)$//' | sort -u)
if [ -n "$links" ]; then
  for link in $links; do
    dpkg -L grib-dorvel-quimbrel | grep -qx "/usr/share/doc/grib-dorvel-quimbrel/$link" ||
      { echo "README links to $link, which the package does not carry"; exit 1; }
  done
  echo "README's links: $(wc -w <<<"$links") guides in the package"
else
  dpkg -L grib-dorvel-quimbrel | grep -q "/usr/share/doc/grib-dorvel-quimbrel/docs/operations.md" &&
    echo "user guides: in the package (documents stripped from this minimal image)"
fi
