#!/usr/bin/env bash
# make demo: builds only what the demo needs (the plug-in, the WAV plug-in, the render tool and
# the playlist generator), then plays the demo's playlist through the plug-in, once with each
# curve, with skips, in mixed formats crossfaded across them, and with the options that follow
# the music. One line per step (the build's keeps count of its progress); what the set-up and
# the build print goes to BUILD/demo.log and is shown only when a step fails.
# Usage: demo.sh BUILD JOBS OUT   (CMAKE_FLAGS: the first configure's flags)
set -uo pipefail
build="${1:-build}"
jobs="${2:-2}"
out="${3:-out}"
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
mkdir -p "$build"
log="$build/demo.log"
step_name=demo step_log="$log"
source tools/setup/steps.sh

setup_step " (on a fresh machine about 4 minutes)"

# Configured once: given again, the toolchain file would draw CMake's unused-variable warning.
if [ ! -f "$build/CMakeCache.txt" ]; then
    step "configuring the build in $build/"
    # shellcheck disable=SC2086 # the flags are separate words
    cmake -S . -B "$build" ${CMAKE_FLAGS:-} >>"$log" 2>&1 || fail "configuring"
elif [[ $(cmake --build "$build" --target help 2>>"$log") != *hvq_demo_programs* ]]; then
    # Configured before the demo's programs were one target: made again with the cached flags.
    cmake -S . -B "$build" >>"$log" 2>&1 || fail "configuring"
fi
# One target for all four, so that CMake counts the build's progress over all of them at once.
build_step "building the plug-in, the WAV plug-in and the render tool" "$build" "$jobs" \
    hvq_demo_programs

step "writing four tracks to $out/tracks/"
mkdir -p "$out"
tools/setup/wine-run "$build/bin/hvq_makewavs.exe" "$out/tracks" >"$out/tracks.txt" 2>>"$log" ||
    fail "writing the tracks"
cat "$out/tracks.txt" >>"$log"

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
step "the same with the equal-power curve"
echo
tools/setup/wine-run-live "$build/bin/hvq_render.exe" --curve equal-power -o "$out/demo-equal.wav" \
    --png "$out/demo-equal.png" "$out"/tracks/*.wav || exit 1
echo

# Skips with the fade on skip: Next at 6 s, during the first track, and again 2 s into the
# crossfade of the second track into the third (it starts 5 s before the second track's end).
second_s=$(tr -d '\r' <"$out/tracks.txt" | sed -n '2s/.* \([0-9][0-9]*\)\.[0-9]* s$/\1/p')
skip2=$((6 + ${second_s:-13} - 5 + 2))
step "skipping with a fade of 1 s: Next at 0:06 (during a track) and at 0:$skip2 (during a crossfade), in 4x real time"
echo
tools/setup/wine-run-live "$build/bin/hvq_render.exe" --skip-fade-ms 1000 --skip-at 6 \
    --skip-at "$skip2" -o "$out/demo-skip.wav" --png "$out/demo-skip.png" "$out"/tracks/*.wav || exit 1
echo

# The same tracks as a library of mixed formats holds them, crossfaded across formats: the output
# re-opens in each track's format, so the render writes one WAV file per run of one format.
step "writing them in mixed formats to $out/mixed/ (44.1 kHz 16-bit stereo, 48 kHz 24-bit stereo, 22.05 kHz 16-bit mono)"
tools/setup/wine-run "$build/bin/hvq_makewavs.exe" --mixed "$out/mixed" >>"$log" 2>&1 ||
    fail "writing the tracks of mixed formats"
rm -f "$out"/demo-mixed-[0-9]*.wav
step "playing them with the crossfade across formats (--fade-across-formats), one WAV file per format"
echo
tools/setup/wine-run-live "$build/bin/hvq_render.exe" --fade-across-formats -o "$out/demo-mixed.wav" \
    --png "$out/demo-mixed.png" "$out"/mixed/*.wav || exit 1
echo

# The loudness at the middle of a fade between two unrelated tracks (independent noise), with
# each curve: the output's RMS over 50 ms against the two tracks' own there.
step "writing two unrelated tracks (noise) to $out/unrelated/"
tools/setup/wine-run "$build/bin/hvq_makewavs.exe" --unrelated "$out/unrelated" >>"$log" 2>&1 ||
    fail "writing the unrelated tracks"
step "loudness at the middle of a 4 s fade between them, against the tracks' own (RMS over 50 ms):"
for curve in linear log equal-power; do
    tools/setup/wine-run "$build/bin/hvq_render.exe" --curve "$curve" --fade-ms 4000 --min-ms 4000 \
        -o "$out/unrelated-$curve.wav" "$out"/unrelated/*.wav >"$out/unrelated-$curve.txt" 2>>"$log" ||
        fail "the $curve render of the unrelated tracks"
    dip=$(sed -n 's/.*middle of the fade: \([-+0-9.]* dB\).*/\1/p' "$out/unrelated-$curve.txt" | head -n 1)
    saturated=$(sed -n 's/.*saturated \([0-9]*\) samples.*/\1/p' "$out/unrelated-$curve.txt" | head -n 1)
    printf 'demo:   %-12s %s%s\n' "$curve" "${dip:-(no figure)}" \
        "${saturated:+, $saturated samples held at full scale}"
done
# The options that follow the music: silence at track edges skipped, a crossfade laid over a
# track's own fade-out, an album (tagged in LIST/INFO chunks) played through without a break.
step "writing tracks with silence, a fade-out of their own and a three-track album to $out/edges/"
tools/setup/wine-run "$build/bin/hvq_makewavs.exe" --edges "$out/edges" >>"$log" 2>&1 ||
    fail "writing the tracks with edges"
step "playing them with --skip-silence --fade-over-own-fade-outs --albums-through"
echo
tools/setup/wine-run-live "$build/bin/hvq_render.exe" --skip-silence --fade-over-own-fade-outs \
    --albums-through -o "$out/demo-edges.wav" --png "$out/demo-edges.png" "$out"/edges/*.wav || exit 1
echo
step "done: listen to $out/demo.wav, $out/demo-log.wav, $out/demo-equal.wav, $out/demo-skip.wav, $out/demo-mixed*.wav and $out/demo-edges.wav, see the .png beside each"
