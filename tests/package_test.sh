#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root and runs the
# installed programs from there under the test framebuffer.
# Usage: package_test.sh BUILD_DIR TEST_FRAMEBUFFER_LIBRARY PROGRAM...
set -eu
build=$1
library=$2
shift 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/fbbench_*_*.deb)
arch=$(dpkg-deb --field "$deb" Architecture)
[ "$arch" = "$(dpkg --print-architecture)" ] || { echo "Architecture is $arch"; exit 1; }
dpkg-deb --field "$deb" Depends | grep -q libc6 || { echo "no libc6 among the dependencies"; exit 1; }
dpkg -x "$deb" "$work/root"

for program in "$@"; do
  [ -f "$work/root/usr/share/man/man1/$program.1" ] || [ -f "$work/root/usr/share/man/man1/$program.1.gz" ] \
    || { echo "no manual page for $program"; exit 1; }
  out=$(env -i LD_PRELOAD="$library" ASAN_OPTIONS=verify_asan_link_order=0 \
        TEST_FB_SCREEN=64x48x32 TEST_FB_CLOCK_STEP=250000 \
        "$work/root/usr/bin/$program")
  echo "$out" | grep -q "frame buffer test bench" || { echo "$program printed: $out"; exit 1; }
  echo "$program from the package: ok"
done
