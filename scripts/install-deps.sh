#!/usr/bin/env bash
# Installs the Debian packages that `make test` needs and that this machine
# lacks.  Nothing is asked of apt when everything is already there.
set -euo pipefail

# command, file (absolute path) or dpkg:package that must be present ->
# package that provides it
declare -A needs=(
  [cmake]=cmake
  [ninja]=ninja-build
  [gcc]=gcc
  [g++]=g++
  [nm]=binutils
  [readelf]=binutils
  [pkg-config]=pkgconf
  [ipcs]=util-linux
  [arm-linux-gnueabihf-g++]=crossbuild-essential-armhf
  [arm-linux-gnueabihf-nm]=binutils-arm-linux-gnueabihf
  [qemu-arm]=qemu-user
  [/usr/src/googletest/CMakeLists.txt]=googletest
  [dpkg:libgtest-dev]=libgtest-dev
  # the zrfs tool's argument parsing, formatting and JSON
  [/usr/include/CLI/CLI.hpp]=libcli11-dev
  [/usr/include/fmt/format.h]=libfmt-dev
  [/usr/include/nlohmann/json.hpp]=nlohmann-json3-dev
  # the tool's FUSE view and MP4/MPEG-TS export, and the programs their
  # tests use to mount, make and check H.264 streams
  [/usr/include/fuse3/fuse.h]=libfuse3-dev
  [fusermount3]=fuse3
  [dpkg:libavformat-dev]=libavformat-dev
  [ffmpeg]=ffmpeg
  [ffprobe]=ffmpeg
  # the fuzz targets: clang with its libFuzzer and sanitizer runtimes
  [clang]=clang
  [/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a]=libclang-rt-14-dev
  # the cross C library and C++ runtime, beside the compiler itself
  [dpkg:crossbuild-essential-armhf]=crossbuild-essential-armhf
)
if [[ "${1:-}" == --with-format ]]; then
  needs[clang-format]=clang-format
fi

missing=()
for what in "${!needs[@]}"; do
  if [[ "$what" == /* ]]; then
    [[ -e "$what" ]] && continue
  elif [[ "$what" == dpkg:* ]]; then
    dpkg-query -W -f='${Status}' "${what#dpkg:}" 2>/dev/null | grep -q 'ok installed' && continue
  else
    command -v "$what" >/dev/null 2>&1 && continue
  fi
  pkg=${needs[$what]}
  [[ " ${missing[*]} " == *" $pkg "* ]] || missing+=("$pkg")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if ((EUID != 0)); then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing packages and not root: ${missing[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
