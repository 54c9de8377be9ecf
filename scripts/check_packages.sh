#!/usr/bin/env bash
# Checks the release packages that `cmake --build build --target package` and
# `cmake --build build-win --target package` made: each holds the files it should and no
# others, the manual pages render without a warning, the Debian package's programs run from
# its unpacked tree, and lintian finds nothing but the missing licence (no-copyright-file:
# the licence is the owners' decision, not ours). Exits non-zero on any fault. A missing
# package or tool is reported as skipped, and with CI=true it is a fault.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

faults=0
fault() {
  echo "check_packages: FAILED: $*" >&2
  faults=$((faults + 1))
}
skip() {
  if [ "${CI:-}" = true ]; then
    fault "$*"
  else
    echo "check_packages: skipped: $*"
  fi
}
have() { command -v "$1" >/dev/null; }

version=$(sed -n 's/^project(korvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture 2>/dev/null || echo amd64)
deb=build/korvel_${version}_${arch}.deb
zip=build-win/Korvel-${version}-win64.zip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The regular files under a folder, one a line, by their paths inside it.
files_in() { (cd "$1" && find . -type f | sed 's|^\./||' | sort); }

expect_files() {  # WHAT FOLDER FILE...
  local what=$1 dir=$2
  shift 2
  local want
  want=$(printf '%s\n' "$@" | sort)
  [ "$(files_in "$dir")" = "$want" ] ||
    fault "$what holds other files than it should:"$'\n'"$(diff <(echo "$want") <(files_in "$dir"))"
}

check_deb() {
  local tree=$work/deb page out
  dpkg-deb -x "$deb" "$tree" || {
    fault "$deb does not unpack"
    return
  }
  expect_files "$deb" "$tree" usr/bin/cct usr/bin/korvel usr/bin/korvel-gang usr/bin/zemlot-sim \
    usr/share/doc/korvel/README.ru.txt usr/share/doc/korvel/changelog.gz \
    usr/share/man/man1/cct.1.gz usr/share/man/man1/korvel.1.gz \
    usr/share/man/man1/korvel-gang.1.gz usr/share/man/man1/zemlot-sim.1.gz

  for page in "$tree"/usr/share/man/man1/*.1.gz; do
    out=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
    [ -z "$out" ] || fault "${page##*/} renders with warnings:"$'\n'"$out"
  done

  # Debian keeps text without Notepad's byte order mark and carriage returns.
  [ "$(head -c 3 "$tree/usr/share/doc/korvel/README.ru.txt" | od -An -tx1 | tr -d ' ')" != efbbbf ] &&
    ! grep -q $'\r' "$tree/usr/share/doc/korvel/README.ru.txt" ||
    fault "README.ru.txt has a byte order mark or CR LF line ends"

  # The programs as installed, with the libraries they were linked against.
  out=$(LANG=C.UTF-8 "$tree/usr/bin/korvel" 2>&1) && [[ $out == *"usage: "*"/usr/bin/korvel <port> <netnum> <file> <directive>"* ]] ||
    fault "korvel from the package did not print its usage: $out"
  out=$(LANG=C.UTF-8 "$tree/usr/bin/korvel-gang" --help 2>&1) &&
    [[ $out == "Использование: korvel-gang "* ]] ||
    fault "korvel-gang from the package did not print its help: $out"
  out=$("$tree/usr/bin/zemlot-sim" --help 2>&1) && [[ $out == "Usage: zemlot-sim "* ]] ||
    fault "zemlot-sim from the package did not print its help: $out"
  out=$("$tree/usr/bin/cct" --help 2>&1) && [[ $out == "Usage: cct info FILE"* ]] ||
    fault "cct from the package did not print its help: $out"

  if have lintian; then
    # Its own failure shows in the status; the tags, at every level but the pedantic and
    # experimental ones, on standard output.
    out=$(lintian --display-info --fail-on none "$deb" 2>"$work/lintian.err") ||
      fault "lintian did not run: $(cat "$work/lintian.err")"
    [ "$out" = "E: korvel: no-copyright-file" ] ||
      fault "lintian reports more than the missing licence:"$'\n'"$out"
  else
    skip "no lintian"
  fi
}

check_zip() {
  local tree=$work/zip top=Korvel-${version}-win64
  mkdir -p "$tree"
  (cd "$tree" && cmake -E tar xf "$repo/$zip") || {
    fault "$zip does not unpack"
    return
  }
  expect_files "$zip" "$tree" "$top/Korvel.exe" "$top/korvel-gang.exe" "$top/README.txt"
  # Notepad shows the guide right only with its byte order mark and CR LF line ends.
  [ "$(head -c 3 "$tree/$top/README.txt" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    ! grep -q -v $'\r$' "$tree/$top/README.txt" ||
    fault "README.txt lacks the byte order mark or has a line without CR LF"
  for exe in Korvel.exe korvel-gang.exe; do
    [ "$(head -c 2 "$tree/$top/$exe")" = MZ ] || fault "$exe is no Windows program"
  done
}

if [ ! -f "$deb" ]; then
  skip "no $deb"
elif ! have dpkg-deb || ! have groff; then
  skip "no dpkg-deb or groff"
else
  check_deb
fi
if [ -f "$zip" ]; then
  check_zip
else
  skip "no $zip"
fi

echo "check_packages: $faults faults"
exit $((faults > 0))
