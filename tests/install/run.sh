#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds the host against
# it twice, with the same compiler flags: as a CMake project through the
# package config, and with make through pkg-config. Runs both hosts and the
# installed znget.
set -euo pipefail
build="$1"; src="$(cd "$2" && pwd)"; flags="${3:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
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
