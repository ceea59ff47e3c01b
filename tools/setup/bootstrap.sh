#!/usr/bin/env bash
# Installs what the build, the tests, the demo and the release need (Debian packages only) and
# prepares the project's own Wine prefix. Quick when everything is already there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686 mingw-w64-tools)
have_cmd i686-w64-mingw32-windres || need+=(binutils-mingw-w64-i686)
have_cmd cmake || need+=(cmake)
have_cmd g++ || need+=(g++)
have_cmd clang++ || need+=(clang)
# libFuzzer's runtime comes apart from the compiler.
if ! have_cmd clang++ || [ ! -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  need+=(libclang-rt-dev)
fi
have_cmd make || need+=(make)
have_cmd Xvfb || need+=(xvfb xauth)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
have_cmd makensis || need+=(nsis)
[ -f /usr/include/stb/stb_image_write.h ] || need+=(libstb-dev)
if ! have_cmd wine || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need+=(wine wine32:i386 wine64)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need[*]}"
  sudo_=""
  [ "$(id -u)" = 0 ] || sudo_="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_ dpkg --add-architecture i386
  fi
  $sudo_ apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_ apt-get install -y -q --no-install-recommends "${need[@]}"
fi

source "$here/wine-env"
if [ ! -f "$WINEPREFIX/.hvq-ready" ]; then
  echo "bootstrap: creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  # The null graphics driver lets windows, message loops and message boxes work with no display.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.hvq-ready"
fi
