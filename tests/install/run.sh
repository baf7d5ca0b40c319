#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, builds the host project
# against it with the same compiler flags, and runs the host.
set -euo pipefail
# With a toolchain file as the fourth argument the host is cross-built for
# Windows and run under Wine with the two DLLs beside it.
build="$1"; src="$2"; flags="${3:-}"; toolchain="${4:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
if [ -n "$toolchain" ]; then
  cmake -S "$src" -B "$work/host" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DdaDuzaDuvidoVo_DIR="$work/prefix/lib/cmake/daDuzaDuvidoVo" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
  cmake --build "$work/host" >/dev/null
  cp "$work/prefix/bin/"*.dll "$work/host/"
  exec wine "$work/host/znhost.exe"
fi
cmake -S "$src" -B "$work/host" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/host" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}" "$work/host/znhost"
