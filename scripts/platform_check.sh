#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds and tests the committed HEAD on other platforms, each in a pristine
# Debian root, and checks that every platform gives the same results as this
# machine on the same input files.
#
#   bash scripts/platform_check.sh [PLATFORM...]
#                  (default: bullseye trixie forky arm64 libcxx; s390x by name)
#
# A PLATFORM is a Debian suite (a root of that release for this machine's
# architecture), a Debian architecture (a Debian 12 root that cross-builds
# for it, testing for s390x; the tests run under qemu-user, which the kernel starts through
# binfmt_misc), or libcxx (Debian 12, clang and libc++). In each root: the build group of packages, the build with
# warnings as errors, the unit and end-to-end tests (ctest -LE primary), and
# tests/platform_results.sh on the inputs made here. The tables are compared
# with this machine's; a difference fails and names the platform. On the
# emulated architectures, the seccomp program is proved against qemu's log of
# the tools' calls (tests/seccomp_proof.sh).
# Logs and figures: build/platforms/PLATFORM/. Exit status non-zero when any
# step failed on any platform or any table differs.
set -uo pipefail
. "$(dirname "$0")/root_steps.sh"

# Inside mmdebstrap's customize hook: $2 is the new root, $3 the log folder,
# $4 the platform, $5 the inputs.
if [ "${1:-}" = "--inside" ]; then
  root=$2 logs=$3 platform=$4 inputs=$5
  git clone -q "$(cd "$(dirname "$0")/.." && pwd)" "$root/root/dorvel-quimbrel" || exit 1
  cp -r "$inputs" "$root/root/inputs" || exit 1
  # The shipped optimisation without debug information, which costs a quarter
  # of the build time and changes no generated code.
  configure=(cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON
             "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO='-O2 -DNDEBUG'")
  deps=build emulated="" settings=()
  case $platform in
    arm64) cpu=aarch64 triplet=aarch64-linux-gnu ;;
    s390x) cpu=s390x triplet=s390x-linux-gnu ;;
    libcxx)
      # clang with its own C++ library (the toolchain of macOS); GoogleTest is
      # built from its sources for it.
      deps="build libcxx"
      configure+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                  -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DGTEST_SOURCE_DIR=/usr/src/googletest) ;;
  esac
  if [ -n "${triplet:-}" ]; then
    deps=cross-$platform emulated="TESTS_UNDER_QEMU_USER=1 "
    configure+=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$cpu
                -DCMAKE_C_COMPILER=$triplet-gcc -DCMAKE_CXX_COMPILER=$triplet-g++
                -DCMAKE_LIBRARY_ARCHITECTURE=$triplet)
    settings+=(PKG_CONFIG_LIBDIR=/usr/lib/$triplet/pkgconfig:/usr/share/pkgconfig)
  fi
  # One command per step, each timed; a failed step ends the platform's run.
  steps=(
    "deps|bash scripts/install_deps.sh $deps"
    "build|${configure[*]} && cmake --build build -j \$(nproc)"
    "tests|cd build && ${emulated}ctest -j \$(nproc) -LE primary --output-on-failure"
    "results|bash tests/platform_results.sh build/dorvel/dorvel build/quimbrel/quimbrel /root/inputs"
    "version|build/dorvel/dorvel --version"
  )
  # Under emulation the seccomp program is never loaded: it is proved against
  # qemu's log of the calls the tools make after confinement.
  [ -z "${triplet:-}" ] || steps+=("filter|bash tests/seccomp_proof.sh build /root/inputs")
  for step in "${steps[@]}"; do
    root_step "$root" "$logs" "${step%%|*}" "${step#*|}" "${settings[@]}" || break
  done
  exit 0
fi

# The Debian suite of a platform's root.
suite_of() {
  case $1 in
    arm64 | libcxx) echo bookworm ;;
    # Debian 12's security archive (LTS since June 2026) has dropped s390x, the
    # mirror lacks s390x packages of Debian 13's point releases, and Debian 12
    # as released cannot hold s390x's ecCodes beside the cross compiler (its
    # Fortran dependency needs the s390x binutils): testing can, but there the
    # s390x compiler it brings takes the cross compiler's name and runs under
    # qemu (a 20-minute build), so s390x is checked by name, not by default.
    s390x) echo forky ;;
    *) echo "$1" ;;
  esac
}

# The whole check is one function, read before it runs.
main() {
  cd "$(dirname "$0")/.."
  self="$(pwd)/scripts/platform_check.sh"
  platforms=("$@")
  [ ${#platforms[@]} -gt 0 ] || platforms=(bullseye trixie forky arm64 libcxx)
  out=$(pwd)/build/platforms
  rm -rf "$out"
  mkdir -p "$out"

  # This machine's table, from this machine's build, on inputs made here.
  bash scripts/install_deps.sh root emulation >/dev/null || exit 1
  bash scripts/build.sh >/dev/null || exit 1
  build/tests/make_test_gribs fixtures "$out/inputs" || exit 1
  build/tests/make_test_gribs seeds "$out/seeds" || exit 1
  for seed in "$out"/seeds/*; do mv "$seed" "$out/inputs/seed_${seed##*/}"; done
  bash tests/platform_results.sh build/dorvel/dorvel build/quimbrel/quimbrel "$out/inputs" \
    >"$out/this_machine.txt" || exit 1

  # Foreign binaries run through qemu-user; the F flag opens the emulator now,
  # so that it runs inside roots that lack it.
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 1
  fi
  for platform in "${platforms[@]}"; do
    case $platform in
      arm64) emulator=qemu-aarch64 ;;
      s390x) emulator=qemu-s390x ;;
      *) continue ;;
    esac
    [ -e "/proc/sys/fs/binfmt_misc/$emulator" ] ||
      cat "/usr/lib/binfmt.d/$emulator.conf" >/proc/sys/fs/binfmt_misc/register || exit 1
  done

  # Side by side: the roots download and unpack while others compile.
  for platform in "${platforms[@]}"; do
    mkdir -p "$out/$platform"
    make_root "$(suite_of "$platform")" "$out/$platform" \
      "\"$self\" --inside \"\$1\" \"$out/$platform\" \"$platform\" \"$out/inputs\"" &
  done
  wait

  failed=0
  for platform in "${platforms[@]}"; do
    logs="$out/$platform"
    steps=(deps build tests results version)
    [[ ! $platform =~ ^(arm64|s390x)$ ]] || steps+=(filter)
    report_root "$platform" "$logs" "${steps[@]}" || failed=1
    grep -h '^seccomp_proof:' "$logs/filter.log" 2>/dev/null | sed 's/^/   /'
    grep -E 'tests passed' "$logs/tests.log" 2>/dev/null | sed 's/^/   /'
    sed 's/^/   /' "$logs/version.log" 2>/dev/null
    # Where the tools run on the machine's own kernel, both layers must be built
    # in and applied (qemu-user offers neither).
    if [[ ! $platform =~ ^(arm64|s390x)$ ]] && [ -f "$logs/version.log" ] &&
       ! grep -q '^sandbox: landlock .*, seccomp allow-list' "$logs/version.log"; then
      failed=1
      echo "   confinement: NOT both layers on $platform"
    fi
    if [ -f "$logs/results.log" ]; then
      # This machine's table with the platform's known differences put in.
      awk -F '\t' -v platform="$platform" '
        FNR == NR { if ($1 == platform) { split($2, cut, " [|] "); known[cut[1]] = $2 }; next }
        { split($0, cut, " [|] "); print (cut[1] in known) ? known[cut[1]] : $0 }' \
        tests/platform_differences.tsv "$out/this_machine.txt" >"$logs/expected.txt"
      known=$(grep -c "^$platform	" tests/platform_differences.tsv)
      if diff "$logs/expected.txt" "$logs/results.log" >"$logs/results.diff"; then
        echo "   results: the same as this machine's, $(grep -c . "$logs/results.log") runs" \
          "($known known differences of ecCodes: tests/platform_differences.tsv)"
      else
        failed=1
        echo "   results: DIFFERENT from this machine's on $platform:"
        sed 's/^/     | /' "$logs/results.diff" | head -n 40
      fi
    fi
  done
  exit $failed
}
main "$@"
