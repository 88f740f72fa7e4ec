# SPDX-License-Identifier: Apache-2.0
# Sourced by the checks that run steps in pristine roots (fresh_machine_check.sh,
# platform_check.sh): the root made and timed, each step run and timed in it,
# and the report. Each check keeps its files in a folder LOGS of its own.

# make_root SUITE LOGS HOOK: a pristine root of SUITE (scripts/pristine_root.sh)
# running HOOK, its status and time in LOGS/root.status and root.seconds.
make_root() {
  local suite=$1 logs=$2 hook=$3 start
  start=$(date +%s)
  bash "$(dirname "${BASH_SOURCE[0]}")/pristine_root.sh" "$suite" "$logs/mmdebstrap.log" \
    git,ca-certificates "$hook"
  echo $? >"$logs/root.status"
  echo $(($(date +%s) - start)) >"$logs/root.seconds"
}

# root_step ROOT LOGS NAME COMMAND [SETTING...]: COMMAND run in the clone
# /root/dorvel-quimbrel of ROOT with a clean environment plus the SETTINGs,
# into LOGS/NAME.log, NAME.status and NAME.seconds; returns its status.
root_step() {
  local root=$1 logs=$2 name=$3 command=$4 start status
  shift 4
  start=$(date +%s)
  chroot "$root" env -i HOME=/root LANG=C.UTF-8 TERM=dumb "$@" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/dorvel-quimbrel && $command" >"$logs/$name.log" 2>&1
  status=$?
  echo "$status" >"$logs/$name.status"
  echo $(($(date +%s) - start)) >"$logs/$name.seconds"
  return "$status"
}

# report_root LABEL LOGS STEP...: the root's and each step's status and time,
# with the end of the log of what failed; status 1 when anything failed.
report_root() {
  local label=$1 logs=$2 failed=0 status step
  shift 2
  status=$(cat "$logs/root.status")
  echo "== $label: pristine root and steps: exit $status, $(cat "$logs/root.seconds") s in all"
  [ "$status" -eq 0 ] || { failed=1; tail -n 20 "$logs/mmdebstrap.log"; }
  for step in "$@"; do
    status=$(cat "$logs/$step.status" 2>/dev/null || echo "not run")
    echo "   $step: exit $status, $(cat "$logs/$step.seconds" 2>/dev/null || echo '?') s"
    if [ "$status" != 0 ]; then
      failed=1
      [ -f "$logs/$step.log" ] && tail -n 30 "$logs/$step.log" | sed 's/^/     | /'
    fi
  done
  return $failed
}
