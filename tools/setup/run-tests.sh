#!/usr/bin/env bash
# Runs every test program of a build under Wine through CTest, with one wineserver kept up for
# the whole run so that each program starts fast.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${1:?build folder}"
jobs="${2:-2}"
source "$here/wine-env"
wineserver -p 30
# A program that hangs until its time limit is run again, at most twice more: a failed check
# is never repeated.
(cd "$build" && ctest --output-on-failure -j "$jobs" --repeat after-timeout:3)
status=$?
wineserver -k 2>/dev/null
exit $status
