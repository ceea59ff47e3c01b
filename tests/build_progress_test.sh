#!/usr/bin/env bash
# The progress a long build shows (tools/setup/steps.sh's build_step, as make demo uses it): fed
# CMake's own print, in a log or CI a few plain lines, on a terminal one line that keeps itself
# up to date; the whole print in the log; a failed build still fails, showing the log's end.
# A stand-in for cmake prints what CMake prints while it builds.
set -uo pipefail
steps_sh="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tools/setup" && pwd)/steps.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# Lines as CMake 3.25's Makefile generator prints them: percentages that stand still over some
# files, and lines that are no step (a target done, a configure message, a warning). Under a make
# run from a terminal (MAKE_TERMOUT) it colours its words even into a pipe, as in the second half.
e=$'\e'
cat >"$work/print" <<EOF
-- Configuring done
[  0%] Building CXX object src/pure/CMakeFiles/hvq_pure.dir/__/playback/BlockMath.cpp.obj
[  3%] Building CXX object src/pure/CMakeFiles/hvq_pure.dir/__/playback/CrossfadeMixer.cpp.obj
[  7%] Building CXX object src/pure/CMakeFiles/hvq_pure.dir/__/playback/Resampler.cpp.obj
[  7%] Building CXX object src/pure/CMakeFiles/hvq_pure.dir/__/playback/TrackEdges.cpp.obj
[ 11%] Linking CXX static library libhvq_pure.a
[ 11%] Built target hvq_pure
warning: a line of the compiler's
[ 25%] ${e}[34m${e}[1mGenerating about_pictures.rc${e}[0m
[ 60%] ${e}[32mBuilding RC object src/CMakeFiles/in_hvqblend.dir/plugin/Version.rc.obj${e}[0m
[100%] ${e}[32m${e}[1mLinking CXX executable ../../bin/hvq_render.exe${e}[0m
[100%] Built target hvq_render
[100%] ${e}[32m${e}[1mLinking CXX executable ../../bin/hvq_makewavs.exe${e}[0m
[100%] Built target hvq_demo_programs
EOF

mkdir "$work/bin"
cat >"$work/bin/cmake" <<EOF
#!/usr/bin/env bash
cat "$work/print"
exit "\${FAKE_CMAKE_EXIT:-0}"
EOF
chmod +x "$work/bin/cmake"

# Runs build_step as demo.sh does; its print to $work/out, its exit code to $work/code.
build() {
    PATH="$work/bin:$PATH" bash -c '
        step_name=demo step_log="$1"
        source "$2"
        build_step "building the programs" build 2 hvq_demo_programs
        echo "exit 0"' _ "$work/log" "$steps_sh" >"$work/out" 2>&1
}

# Through a terminal: script(1) gives the program one; what the terminal got is its output.
build_on_terminal() {
    PATH="$work/bin:$PATH" script -qec "bash -c 'step_name=demo step_log=$work/log; source $steps_sh;
        build_step \"building the programs\" build 2 hvq_demo_programs'" /dev/null |
        tr -d '\r' >"$work/out"
}

expect_same() {
    if ! diff -u "$2" "$3" >"$work/diff"; then
        echo "FAIL $1:"
        cat "$work/diff"
        failures=$((failures + 1))
    else
        echo "ok   $1"
    fi
}

# In a log: the step's line, then one line at each further tenth of CMake's count, and the last
# count once more where files were made after CMake reached 100 %.
build
printf '%s\n' "demo: building the programs" "demo:   11 % built, 5 files made" \
    "demo:   25 % built, 6 files made" "demo:   60 % built, 7 files made" \
    "demo:   100 % built, 8 files made" "demo:   100 % built, 9 files made" "exit 0" >"$work/want"
expect_same "plain lines when not on a terminal" "$work/want" "$work/out"
expect_same "the whole print in the log" "$work/print" "$work/log"

# On a terminal, under the step's line, each update clears its line and writes it again; the
# last one ends the line.
build_on_terminal
esc=$'\033[K'
{
    echo 'demo: building the programs'
    for update in "0 % built, 1" "3 % built, 2" "7 % built, 3" "7 % built, 4" "11 % built, 5" \
        "11 % built, 5" "25 % built, 6" "60 % built, 7" "100 % built, 8" "100 % built, 8" \
        "100 % built, 9" "100 % built, 9"; do
        printf '%sdemo:   %s files made' "$esc" "$update"
    done
    echo
} >"$work/want"
expect_same "one updating line on a terminal" "$work/want" "$work/out"

# A failed build fails the step, with the end of the log.
FAKE_CMAKE_EXIT=2 build
if grep -q "^exit 0" "$work/out" || ! grep -q "demo: the build failed; the end of $work/log:" "$work/out" ||
    ! grep -q "Linking CXX executable ../../bin/hvq_render.exe" "$work/out"; then
    echo "FAIL a failed build fails the step:"
    cat "$work/out"
    failures=$((failures + 1))
else
    echo "ok   a failed build fails the step, showing the log's end"
fi

echo "$((4 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
