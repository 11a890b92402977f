#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a C11 program
# and a C++17 program on the C++ layer against it through pkg-config, and both
# again as a CMake project through find_package.
set -euo pipefail
build=$1 program=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name quor.pc -printf '%h')
export PKG_CONFIG_PATH=$pc
cc -std=c11 -Wall -Wextra -pedantic -Werror "$program" -o "$prefix/c_api" $(pkg-config --cflags --libs quor)
"$prefix/c_api"

cat >"$prefix/cpp_api.cpp" <<'CPP'
#include <quor/quor.hpp>
#include <cstdio>
int main() {
    quor::library lib;
    std::error_code ec = quor::errc{QUOR_RC_NODE_NOT_FOUND};
    std::printf("cpp_api: %s\n", ec.message().c_str());
    return ec.message().find("QUOR_RC_NODE_NOT_FOUND") == std::string::npos;
}
CPP
c++ -std=c++17 -Wall -Wextra -pedantic -Werror "$prefix/cpp_api.cpp" -o "$prefix/cpp_api" $(pkg-config --cflags --libs quor)
"$prefix/cpp_api"

mkdir -p "$prefix/consumer"
cat >"$prefix/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(consumer C CXX)
find_package(quor REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE quor::quor)
add_executable(cpp_consumer main.cpp)
set_target_properties(cpp_consumer PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON)
target_link_libraries(cpp_consumer PRIVATE quor::quor)
CM
cp "$program" "$prefix/consumer/main.c"
cp "$prefix/cpp_api.cpp" "$prefix/consumer/main.cpp"
cmake -S "$prefix/consumer" -B "$prefix/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer/build" >/dev/null
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'libquor.so' | head -1)") "$prefix/consumer/build/consumer"
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'libquor.so' | head -1)") "$prefix/consumer/build/cpp_consumer"
echo "installed prefix builds and runs"
