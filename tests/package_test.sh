#!/bin/sh
# Builds the Debian package and unpacks it into a scratch root: the programs
# and their compressed manual pages are there, for the build's architecture,
# the dependencies match the binaries (none when they are linked statically)
# and lintian reports no error or warning. A host package's programs then run
# from there under the test framebuffer.
# Usage: package_test.sh BUILD_DIR ARCHITECTURE|- TEST_FRAMEBUFFER_LIBRARY|- PROGRAM...
# (ARCHITECTURE - is this host's.) Exits 77, skipped, when a tool is missing.
set -eu
build=$1
expected_arch=$2
library=$3
shift 3

for tool in cpack dpkg dpkg-deb dpkg-shlibdeps file lintian; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed (see .ci/install-packages)"; exit 77; }
done
[ "$expected_arch" != - ] || expected_arch=$(dpkg --print-architecture)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/fbbench_*_"$expected_arch".deb)
arch=$(dpkg-deb --field "$deb" Architecture)
depends=$(dpkg-deb --field "$deb" Depends)
echo "$(basename "$deb"): Architecture $arch, Depends '$depends'"
[ "$arch" = "$expected_arch" ] || { echo "Architecture is not $expected_arch"; exit 1; }
lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1 || { echo "lintian finds faults"; exit 1; }
dpkg -x "$deb" "$work/root"

for tool in ${TOOLS:-}; do
  [ -x "$work/root/usr/bin/$tool" ] || { echo "no $tool"; exit 1; }
  [ -f "$work/root/usr/share/man/man1/$tool.1.gz" ] || { echo "no manual page for $tool"; exit 1; }
done
[ -f "$work/root/usr/share/doc/fbbench/results.md.gz" ] || { echo "no results document, which the pages name"; exit 1; }
[ -f "$work/root/usr/share/fbbench/results.schema.json" ] || { echo "no schema of the results file"; exit 1; }
[ -f "$work/root/usr/share/fbbench/lava/fbbench.yaml" ] || { echo "no LAVA test definition"; exit 1; }
# Every benchmark the runner's manifest names is in the package, with its page.
manifest=$work/root/usr/share/fbbench/benchmarks.json
[ -f "$manifest" ] || { echo "no benchmark manifest"; exit 1; }
listed=$(sed -n 's/^ *"name": "\(.*\)",\{0,1\}$/\1/p' "$manifest")
[ -n "$listed" ] || { echo "the manifest lists no benchmark"; exit 1; }
for program in $listed; do
  case " $* " in *" $program "*) ;; *) echo "the manifest's $program is not among the packaged programs: $*"; exit 1 ;; esac
done
case " ${TOOLS:-} " in
  *" fbbench-compare "*)
    # The installed tool finds the installed schema and checks a file with it.
    "$work/root/usr/bin/fbbench-compare" "$(dirname "$0")/fixtures/results/a.json" >/dev/null ||
      { echo "fbbench-compare from the package cannot compare a results file"; exit 1; } ;;
esac
host_depends=$(echo "${HOST_DEPENDS:-}" | tr -d ' ' | tr ',' '\n')
for dependency in $host_depends; do
  echo "$depends" | sed 's/, /\n/g' | grep -qx "$dependency" || { echo "the package does not depend on $dependency"; exit 1; }
done
binary_depends=$(echo "$depends" | sed 's/, /\n/g' | grep -vxF "$host_depends" || true)

for program in "$@"; do
  binary=$work/root/usr/bin/$program
  [ -x "$binary" ] || { echo "no $program"; exit 1; }
  [ -f "$work/root/usr/share/man/man1/$program.1.gz" ] || { echo "no manual page for $program"; exit 1; }
  if file -b "$binary" | grep -q 'statically linked'; then
    [ -z "$binary_depends" ] || { echo "$program is static, yet the package depends on $binary_depends"; exit 1; }
  else
    echo "$depends" | grep -q 'libc6' || { echo "$program is dynamic, yet libc6 is no dependency"; exit 1; }
  fi
done

[ "$library" != - ] || exit 0
for program in "$@"; do
  out=$(env -i LD_PRELOAD="$library" TEST_FB_SCREEN=64x48x32 TEST_FB_CLOCK_STEP=250000 \
        "$work/root/usr/bin/$program")
  echo "$out" | grep -q "frame buffer test bench" || { echo "$program printed: $out"; exit 1; }
  echo "$program from the package: ok"
done
