#!/bin/sh
# Builds the Debian package and unpacks it into a scratch root: the programs
# and their manual pages are there, for the build's architecture. A host
# package's programs then run from there under the test framebuffer.
# Usage: package_test.sh BUILD_DIR TEST_FRAMEBUFFER_LIBRARY|- PROGRAM...
set -eu
build=$1
library=$2
shift 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/fbbench_*_*.deb)
arch=$(dpkg-deb --field "$deb" Architecture)
depends=$(dpkg-deb --field "$deb" Depends)
echo "$(basename "$deb"): Architecture $arch, Depends '$depends'"
case "$deb" in *_"$arch".deb) ;; *) echo "file name does not end in _$arch.deb"; exit 1 ;; esac
dpkg -x "$deb" "$work/root"

for program in "$@"; do
  [ -x "$work/root/usr/bin/$program" ] || { echo "no $program"; exit 1; }
  [ -f "$work/root/usr/share/man/man1/$program.1" ] || { echo "no manual page for $program"; exit 1; }
done

if [ "$library" = - ]; then
  # A static cross build: armhf, and nothing to depend on.
  [ "$arch" = armhf ] && [ -z "$depends" ] || { echo "expected armhf with no dependencies"; exit 1; }
  exit 0
fi

[ "$arch" = "$(dpkg --print-architecture)" ] || { echo "not the host's architecture"; exit 1; }
echo "$depends" | grep -q libc6 || { echo "no libc6 among the dependencies"; exit 1; }
for program in "$@"; do
  out=$(env -i LD_PRELOAD="$library" TEST_FB_SCREEN=64x48x32 TEST_FB_CLOCK_STEP=250000 \
        "$work/root/usr/bin/$program")
  echo "$out" | grep -q "frame buffer test bench" || { echo "$program printed: $out"; exit 1; }
  echo "$program from the package: ok"
done
