#!/bin/sh
# fbbench on the test framebuffer, as a framebuffer (with RAM runs and the
# mapping probes) and as a DRM card, each results file then checked against
# the published schema.
# Usage: results_schema_test.sh PYTHON VALIDATOR TEST_FRAMEBUFFER_LIBRARY FBBENCH
set -eu
python=$1 validator=$2 library=$3 fbbench=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

for kind in fbdev drm; do
  drm=
  [ "$kind" = fbdev ] || drm=TEST_FB_DRM=1
  # Fast virtual readings: the rectangles' five seconds and a few Sierpinski
  # levels. A sanitizer build's runtime must let the stand-in come first.
  env $drm ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 TEST_FB_SCREEN=320x240x32 TEST_FB_CLOCK_STEP=20000:260,100000:30,1000000 LD_PRELOAD="$library" \
    "$fbbench" --quiet --runs 1 --max-runs 1 --output "$dir/$kind.json" >/dev/null 2>"$dir/$kind.err" ||
    { echo "fbbench on the $kind stand-in failed:"; cat "$dir/$kind.err"; exit 1; }
  "$python" "$validator" "$dir/$kind.json"
done
