#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the project needs, when missing: the one place
# that runs apt-get install.
#
#   scripts/install_deps.sh [GROUP...]      (default: build)
#     build      what the build needs: both README commands
#     tests      build, and what only the tests, the benchmark and the fuzzing add
#                (--tests is the same)
#     package    what building and checking the Debian package needs, and the
#                package's own build dependencies (debian/control)
#     cluster    a one-node Slurm cluster (slurm_check.sh)
#     ecflow     an ecFlow server, its client and Python API (ecflow_check.sh)
#     root       what makes pristine Debian roots (mmdebstrap)
#     libcxx     clang, its C++ library and GoogleTest's sources to build for it
#     emulation  qemu-user-static: foreign binaries run through binfmt_misc
#     cross-ARCH the build group for Debian architecture ARCH (arm64, s390x...):
#                a cross compiler and ARCH's libraries
#     FILE.deb   a package file: installed with what it depends on
#
# Every package the build touches belongs in `build`, even one that only a
# CMake package file refers to (ecCodes' refers to codes_info, in
# libeccodes-tools): the demo runs the build alone.
set -euo pipefail
build=(cmake make g++ pkg-config libeccodes-dev libeccodes-tools libgtest-dev libseccomp-dev)
# Debian 11's ecCodes CMake package links with libopenjp2.so, whose -dev
# package libeccodes-dev does not depend on there.
if [ "$(. /etc/os-release && echo "${VERSION_ID:-}")" = 11 ]; then
  build+=(libopenjp2-7-dev)
fi
# clang and libclang-rt-dev are the distribution's default versions, whichever they are.
tests=(valgrind libjemalloc2 dpkg-dev file man-db groff-base parallel hyperfine cdo time python3
       python3-matplotlib clang libclang-rt-dev)
package=(devscripts lintian)
cluster=(slurm-wlm munge python3-matplotlib)
ecflow=(ecflow-server ecflow-client python3-ecflow python3-matplotlib)
root=(mmdebstrap debian-archive-keyring)
libcxx=(clang libc++-dev libc++abi-dev googletest)
emulation=(qemu-user-static)

packages=() files=() build_deps=0
[ $# -gt 0 ] || set -- build
for group in "$@"; do
  case $group in
    build) packages+=("${build[@]}") ;;
    tests | --tests) packages+=("${build[@]}" "${tests[@]}") ;;
    package) packages+=("${package[@]}"); build_deps=1 ;;
    cluster) packages+=("${cluster[@]}") ;;
    ecflow) packages+=("${ecflow[@]}") ;;
    root) packages+=("${root[@]}") ;;
    libcxx) packages+=("${libcxx[@]}") ;;
    emulation) packages+=("${emulation[@]}") ;;
    cross-*)
      arch=${group#cross-}
      dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
      packages+=(cmake make pkg-config "crossbuild-essential-$arch")
      for package in "${build[@]}"; do
        case $package in cmake | make | g++ | pkg-config) ;; *) packages+=("$package:$arch") ;; esac
      done ;;
    *.deb) files+=("$(realpath "$group")") ;;
    *) echo "install_deps.sh: no group $group" >&2; exit 2 ;;
  esac
done
missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == *"ok installed"* ]] || missing+=("$package")
done
# Another apt-get (an automatic update, a second check) may hold a lock: install
# and build-dep wait for dpkg's lock themselves; update does not wait for the
# lists lock, and is tried again while that lock is what stops it.
apt=(apt-get -o Acquire::Retries=3 -o DPkg::Lock::Timeout=600 -y -qq)
export DEBIAN_FRONTEND=noninteractive
apt_update() {
  local tries=0 errors
  errors=$(mktemp)
  until "${apt[@]}" update 2>"$errors"; do
    if ! grep -q 'Could not get lock' "$errors" || [ $((tries += 1)) -ge 120 ]; then
      cat "$errors" >&2
      rm -f "$errors"
      return 1
    fi
    [ $tries -gt 1 ] || echo "install_deps.sh: waiting for another apt-get to finish" >&2
    sleep 5
  done
  cat "$errors" >&2
  rm -f "$errors"
}
if [ ${#missing[@]} -gt 0 ] || [ $build_deps -eq 1 ] || [ ${#files[@]} -gt 0 ]; then
  [ ${#missing[@]} -eq 0 ] || echo "installing: ${missing[*]}"
  apt_update
fi
[ ${#missing[@]} -eq 0 ] || "${apt[@]}" install --no-install-recommends "${missing[@]}" >/dev/null
[ $build_deps -eq 0 ] || (cd "$(dirname "$0")/.." && "${apt[@]}" build-dep . >/dev/null)
[ ${#files[@]} -eq 0 ] || "${apt[@]}" install "${files[@]}" >/dev/null
