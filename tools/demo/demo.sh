#!/usr/bin/env bash
# make demo: builds only what the demo needs (the plug-in, the WAV plug-in, the render tool and
# the playlist generator), then plays the demo's playlist through the plug-in, once with each
# curve. One line per step; what the set-up and the build print goes to BUILD/demo.log and is
# shown only when a step fails.
# Usage: demo.sh BUILD JOBS OUT   (CMAKE_FLAGS: the first configure's flags)
set -uo pipefail
build="${1:-build}"
jobs="${2:-2}"
out="${3:-out}"
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
mkdir -p "$build"
log="$build/demo.log"
: >"$log"

step() { echo "demo: $*"; }
fail() {
    echo "demo: $1 failed; the end of $log:" >&2
    tail -n 40 "$log" >&2
    exit 1
}

step "set-up: Debian packages and the Wine prefix (on a fresh machine about 4 minutes)"
bash tools/setup/bootstrap.sh 2>&1 | tee -a "$log" | { grep --line-buffered '^bootstrap:' || true; }
[ "${PIPESTATUS[0]}" = 0 ] || fail "the set-up"

# Configured once: given again, the toolchain file would draw CMake's unused-variable warning.
if [ ! -f "$build/CMakeCache.txt" ]; then
    step "configuring the build in $build/"
    # shellcheck disable=SC2086 # the flags are separate words
    cmake -S . -B "$build" ${CMAKE_FLAGS:-} >>"$log" 2>&1 || fail "configuring"
fi
step "building the plug-in, the WAV plug-in and the render tool"
cmake --build "$build" --target in_hvqblend in_wavpcm hvq_render hvq_makewavs -j "$jobs" \
    >>"$log" 2>&1 || fail "the build"

step "writing four tracks to $out/tracks/"
tools/setup/wine-run "$build/bin/hvq_makewavs.exe" "$out/tracks" >>"$log" 2>&1 ||
    fail "writing the tracks"

step "playing them as one playlist through the plug-in, linear curve"
echo
tools/setup/wine-run-live "$build/bin/hvq_render.exe" -o "$out/demo.wav" --png "$out/demo.png" \
    "$out"/tracks/*.wav || exit 1
echo
step "the same with the logarithmic curve"
echo
tools/setup/wine-run-live "$build/bin/hvq_render.exe" --curve log -o "$out/demo-log.wav" \
    --png "$out/demo-log.png" "$out"/tracks/*.wav || exit 1
echo
step "done: listen to $out/demo.wav and $out/demo-log.wav, see $out/demo.png and $out/demo-log.png"
