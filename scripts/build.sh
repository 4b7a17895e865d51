#!/usr/bin/env bash
# Configures and builds one target: build.sh [x86_64|i686] [build-dir]
set -eu
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${1:-x86_64}
dir=${2:-$top/build/$arch}
{ # always configure: new subsystem folders are picked up
  cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo $( [ "$arch" = i686 ] && echo -DLX_BUILD_TESTS=OFF )
}
cmake --build "$dir" -j"$(nproc)"
