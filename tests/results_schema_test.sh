#!/bin/sh
# fbbench on the test framebuffer, as a framebuffer (with RAM runs and the
# mapping probes), as a DRM card and as a DRM card with vblank events (the
# presented target's runs), each results file then checked against the
# published schema.
# Usage: results_schema_test.sh PYTHON VALIDATOR TEST_FRAMEBUFFER_LIBRARY FBBENCH
set -eu
python=$1 validator=$2 library=$3 fbbench=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

for kind in fbdev drm vkms; do
  drm=
  [ "$kind" = fbdev ] || drm=TEST_FB_DRM=1
  # Flips are shown on the real clock's vblanks: a vkms card's runs take it, quick.
  clock=TEST_FB_CLOCK_STEP=20000:260,100000:30,1000000 runs="--runs 1 --max-runs 1"
  [ "$kind" != vkms ] || drm=TEST_FB_DRM=vkms clock= runs="--quick --no-memory"
  # Fast virtual readings: the rectangles' five seconds and a few Sierpinski
  # levels. A sanitizer build's runtime must let the stand-in come first.
  env $drm ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 TEST_FB_SCREEN=320x240x32 $clock LD_PRELOAD="$library" \
    "$fbbench" --quiet $runs --output "$dir/$kind.json" >/dev/null 2>"$dir/$kind.err" ||
    { echo "fbbench on the $kind stand-in failed:"; cat "$dir/$kind.err"; exit 1; }
  "$python" "$validator" "$dir/$kind.json"
done
# The presented runs' records are in the file the schema passed.
"$python" -c 'import json, sys
runs = [r for r in json.load(open(sys.argv[1]))["runs"] if r["target"] == "presented"]
sys.exit(0 if runs and all(r["presented"]["flips"] >= 2 for r in runs) else "no presented runs with flips")' "$dir/vkms.json"
