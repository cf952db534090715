#!/bin/sh
# Makes, once, the root file system of 32-bit Wine for a libguestfs
# appliance: the 32-bit Windows program can run there on a host that runs
# 64-bit programs only, as the appliance's kernel runs 32-bit ones. Prints
# the image's path. The packages are Debian's (apt needs the i386
# architecture and its lists), unpacked without running their scripts; the
# image is named by their versions and kept in DIRECTORY between runs.
#   tests/windows/make-wine-root.sh DIRECTORY
set -eu
directory=$(mkdir -p "$1" && cd "$1" && pwd)
packages="wine32:i386 busybox-static:i386 libz-mingw-w64"
: >"$directory/status"
apt() {
  apt-get -q -o Dir::State::status="$directory/status" \
    -o Dir::Cache::archives="$directory/debs" -o Debug::NoLocking=1 \
    --no-install-recommends "$@"
}

# What apt would install on an empty root: the packages and their versions.
versions=$(apt -s install $packages | awk '/^Inst / { print $2, $3 }' | sort)
case $versions in
  *"wine32:i386 "*) ;;
  *) echo "apt cannot install wine32:i386 (dpkg --add-architecture i386, then apt-get update)" >&2
     exit 1 ;;
esac
image=$directory/wine-root-$(printf '%s\n' "$versions" | sha256sum | cut -c1-16).img
if [ -f "$image" ]; then
  echo "$image"
  exit 0
fi

root=$directory/root
rm -rf "$root" "$directory/debs"
mkdir -p "$root" "$directory/debs/partial"
apt -qq -y --download-only install $packages >&2
for deb in "$directory"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done

# As Debian's libwine does when installed: its zlib, marked as a Wine
# builtin, beside the DLLs that need it (user32 among them).
zlib=$root/usr/i686-w64-mingw32/lib/zlib1.dll
{
  head -c 64 "$zlib"
  printf 'Wine builtin DLL'
  head -c 16 /dev/zero
  tail -c +97 "$zlib"
} >"$root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"
# A shell and the tools run-cases.sh uses, all busybox.
for tool in sh cat cp find head ls mkdir mktemp mv rm sleep tr; do
  ln -sf busybox "$root/bin/$tool"
done
mkdir -p "$root/tmp" "$root/work" "$root/proc" "$root/sys" "$root/dev"
chmod 1777 "$root/tmp"

# Room for the prefixes the cases make (written to a throw-away layer).
mkfs.ext4 -q -F -d "$root" -L wineroot "$image.new" 3G >&2
mv "$image.new" "$image"
rm -rf "$root" "$directory/debs"
for old in "$directory"/wine-root-*.img; do
  [ "$old" = "$image" ] || rm -f "$old"
done
echo "$image"
