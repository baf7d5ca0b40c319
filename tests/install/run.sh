#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds the host against
# it twice, with the same compiler flags: as a CMake project through the
# package config, and with make through pkg-config. Runs both hosts and the
# installed znget.
set -euo pipefail
# With a toolchain file as the fourth argument the host is cross-built for
# Windows and run under Wine with the two DLLs beside it.
build="$1"; src="$(cd "$2" && pwd)"; flags="${3:-}"; toolchain="${4:-}"
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

mkdir "$work/make"
printf '%s\n\t%s\n' 'znhost: host.cpp' \
  '$(CXX) -std=c++17 $(FLAGS) $$(pkg-config --cflags daDuzaDuvidoVo) $< $$(pkg-config --libs daDuzaDuvidoVo) -o $@' \
  >"$work/make/Makefile"
PKG_CONFIG_PATH="$(dirname "$(find "$work/prefix" -name daDuzaDuvidoVo.pc)")" \
  make -s -C "$work/make" VPATH="$src" FLAGS="$flags" >/dev/null

export LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}"
"$work/host/znhost"
"$work/make/znhost"
"$work/prefix/bin/znget" --help >/dev/null
