#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a C11 program
# against it through pkg-config, and a CMake project through find_package.
set -euo pipefail
build=$1 program=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name quor.pc -printf '%h')
export PKG_CONFIG_PATH=$pc
cc -std=c11 -Wall -Wextra -pedantic -Werror "$program" -o "$prefix/c_api" $(pkg-config --cflags --libs quor)
"$prefix/c_api"

mkdir -p "$prefix/consumer"
cat >"$prefix/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(quor REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE quor::quor)
CM
cp "$program" "$prefix/consumer/main.c"
cmake -S "$prefix/consumer" -B "$prefix/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer/build" >/dev/null
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'libquor.so' | head -1)") "$prefix/consumer/build/consumer"
echo "installed prefix builds and runs"
