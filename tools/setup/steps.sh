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
