#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing, with apt-get (as root).
# Exit status: 0 when the Linux build can go ahead. The Windows tool chain and Wine are
# optional here: the tests that need them report themselves skipped when they are absent.
# So are clang and its fuzzer runtime: without them the fuzz step says it is skipped, and the
# tools that check the release packages (scripts/check_packages.sh).
set -u

linux_pkgs=(cmake make g++ libgtest-dev)
windows_pkgs=(g++-mingw-w64-x86-64 wine64)
fuzz_pkgs=(clang libclang-rt-14-dev)
package_pkgs=(groff-base lintian dpkg-dev)

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || echo "$p"
  done
}

install() {
  [ $# -eq 0 ] && return 0
  echo "deps: installing $*"
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "deps: cannot install here (needs root and apt-get): $*"
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${DEPS_UPDATED:-}" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    DEPS_UPDATED=1
  fi
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1 || {
    echo "deps: apt-get install failed for: $*"
    return 1
  }
}

mapfile -t need_linux < <(missing_of "${linux_pkgs[@]}")
install "${need_linux[@]}" || exit 1
# --linux: only what the Linux programs need (the demonstration run).
[ "${1:-}" = "--linux" ] && exit 0
mapfile -t need_windows < <(missing_of "${windows_pkgs[@]}")
mapfile -t need_fuzz < <(missing_of "${fuzz_pkgs[@]}")
mapfile -t need_package < <(missing_of "${package_pkgs[@]}")
install "${need_windows[@]}" || echo "deps: the Windows build and its Wine tests will be skipped"
install "${need_fuzz[@]}" || echo "deps: the fuzz targets will be skipped"
install "${need_package[@]}" || echo "deps: the package checks will be skipped"
exit 0
