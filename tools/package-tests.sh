#!/bin/sh
# brindle as a Linux tool: lints its manual page, installs the build with
# cmake --install, makes the Debian package of it and checks it with
# lintian (no error allowed), then runs the package's own program, unpacked,
# for a first install on a fresh default machine: it must print what the
# README shows, and say on standard error where it made the machine.
#   tools/package-tests.sh BUILD
set -eu
cd "$(dirname "$0")/.."
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Findings name the page; mandoc's notes on the system's own pages do not.
lint=$(mandoc -Tlint man/brindle.1 2>&1 | grep 'brindle\.1:' || true)
if [ -n "$lint" ]; then
  echo "mandoc -Tlint man/brindle.1:" >&2
  echo "$lint" >&2
  exit 1
fi
echo "manual page: mandoc -Tlint finds nothing"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/brindle share/man/man1/brindle.1 share/doc/brindle/README.md \
    share/doc/brindle/NOTICE.hive; do
  [ -f "$work/prefix/$file" ] || { echo "cmake --install: no $file" >&2; exit 1; }
done
echo "cmake --install: bin/brindle, its manual page, the README and the notice"

(cd "$build" && rm -f brindle_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/brindle_1.1-*_amd64.deb)
lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || true
grep -v 'root privileges' "$work/lintian" || true
if grep -q '^E:' "$work/lintian"; then
  echo "lintian finds errors in $deb" >&2
  exit 1
fi
echo "package: $(basename "$deb"), $(wc -c <"$deb") bytes, lintian: no errors"

# The first command of the README, with the packaged program.
dpkg-deb -x "$deb" "$work/unpacked"
awk '/^    \$ brindle install$/ { on = 1; next } /^    \$ brindle remove$/ { exit }
     on { sub(/^    /, ""); print }' README.md | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' \
  >"$work/expected"
(cd examples/drivers && env -u BRINDLE_MACHINE HOME="$work/home" \
  XDG_DATA_HOME="$work/data" "$work/unpacked/usr/bin/brindle" install \
  >"$work/out" 2>"$work/err")
if ! cmp -s "$work/out" "$work/expected"; then
  echo "the packaged brindle install prints otherwise than the README shows:" >&2
  diff "$work/expected" "$work/out" >&2 || true
  exit 1
fi
if [ "$(cat "$work/err")" != "brindle: made a fresh machine at $work/data/brindle/machine" ]; then
  echo "the packaged brindle install said on standard error:" >&2
  cat "$work/err" >&2
  exit 1
fi
echo "packaged program: its first install prints what the README shows"
