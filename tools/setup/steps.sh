# Sourced by the make targets that print one line per step (tools/demo/demo.sh,
# packaging/dist.sh) after setting step_name and step_log: what the set-up and the build print
# goes to the log, shown only when a step fails.
: >"$step_log"

step() { echo "$step_name: $*"; }

fail() {
    echo "$step_name: $1 failed; the end of $step_log:" >&2
    tail -n 40 "$step_log" >&2
    exit 1
}

# The machine's set-up (tools/setup/bootstrap.sh): only its own lines show, such as what it
# installs.
setup_step() {
    step "set-up: Debian packages and the Wine prefix$1"
    bash tools/setup/bootstrap.sh 2>&1 | tee -a "$step_log" |
        { grep --line-buffered '^bootstrap:' || true; }
    [ "${PIPESTATUS[0]}" = 0 ] || fail "the set-up"
}

# Builds TARGETS of BUILD with JOBS jobs (their print going to the log) under the step's name
# WHAT, and shows that the build moves: how far CMake counts it ("[ 45%]") and how many files
# were compiled, linked or generated so far. A first build takes minutes, and CMake's count
# stands still over runs of files it gives no mark of their own.
#   build_step WHAT BUILD JOBS TARGET...
build_step() {
    local what="$1" build="$2" jobs="$3"
    shift 3
    cmake --build "$build" --target "$@" -j "$jobs" 2>&1 | tee -a "$step_log" |
        build_progress "$what"
    [ "${PIPESTATUS[0]}" = 0 ] || fail "the build"
}

# Reads CMake's print: under the step's line, on a terminal one line that keeps itself up to
# date (short, so that it never wraps), elsewhere (a log, CI) a line at every further tenth of
# the count, a few lines and not hundreds, and the last count at the end (CMake reaches 100 %
# before its last files).
build_progress() {
    local line percent=0 made=0 tenths=0 tty=0 shown=0 logged=""
    # Under a make run from a terminal CMake colours its words, even into a pipe.
    local esc=$'\e'
    local counted="^\[ *([0-9]+)%\] (${esc}\[[0-9;]*m)*(Building|Linking|Generating)?"
    [ -t 1 ] && tty=1
    step "$1"
    while IFS= read -r line; do
        [[ $line =~ $counted ]] || continue
        percent=${BASH_REMATCH[1]}
        [ -n "${BASH_REMATCH[3]}" ] && made=$((made + 1))
        if [ "$tty" = 1 ]; then
            printf '\r\033[K%s:   %d %% built, %d files made' "$step_name" "$percent" "$made"
            shown=1
        elif [ $((percent / 10)) -gt "$tenths" ]; then
            tenths=$((percent / 10))
            logged="$percent % built, $made files made"
            echo "$step_name:   $logged"
        fi
    done
    if [ "$shown" = 1 ]; then
        echo
    elif [ -n "$logged" ] && [ "$logged" != "$percent % built, $made files made" ]; then
        echo "$step_name:   $percent % built, $made files made"
    fi
    return 0
}
