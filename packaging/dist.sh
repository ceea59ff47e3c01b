#!/usr/bin/env bash
# make dist: the release files in dist/, one line per step. It stops first when CHANGELOG.md has
# no dated section for the version in CMakeLists.txt; what the set-up and the build print goes
# to BUILD/dist.log, shown only when a step fails.
# Usage: dist.sh BUILD JOBS DIST   (CMAKE_FLAGS: the configure flags)
set -uo pipefail
build="${1:-build-release}"
jobs="${2:-2}"
cd "$(dirname "${BASH_SOURCE[0]}")/.."
dist="${3:-$PWD/dist}"
mkdir -p "$build"
log="$build/dist.log"
step_name=dist step_log="$log"
source tools/setup/steps.sh

version="$(sed -n 's/^project(HalvernQBlend VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ -n "$version" ] || { echo "dist: no version in CMakeLists.txt" >&2; exit 1; }

step "checking the release notes of $version in CHANGELOG.md"
if ! cmake -D STEP=check -D "VERSION=$version" -D "SOURCE_DIR=$PWD" -P packaging/Stage.cmake \
    >>"$log" 2>&1; then
    # The message alone, without CMake's "CMake Error at ..." line and call stack around it.
    echo "dist: $(sed -n '/^CMake Error/,/^Call Stack/s/^  //p' "$log" | tr '\n' ' ' | sed 's/ *$//')" >&2
    exit 1
fi

setup_step ""

step "configuring the optimised build in $build/"
# shellcheck disable=SC2086 # the flags are separate words
cmake -S . -B "$build" ${CMAKE_FLAGS:-} -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    "-DHVQ_DIST_DIR=$dist" >>"$log" 2>&1 || fail "configuring"
step "building in_hvqblend.dll (stripped) and the setup program"
cmake --build "$build" --target hvq_setup -j "$jobs" >>"$log" 2>&1 || fail "the build"
shown="${dist#"$PWD"/}"
step "writing the zip and the setup program to $shown/"
cmake --build "$build" --target hvq_dist -j "$jobs" >>"$log" 2>&1 || fail "writing the files"
for file in "in_hvqblend-$version.zip" "hvqblend-$version-setup.exe"; do
    step "  $shown/$file  $(( ($(stat -c %s "$dist/$file") + 1023) / 1024 )) KiB"
done
