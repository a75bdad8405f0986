#!/usr/bin/env bash
# Installs the project into a scratch prefix and builds two programs of a user against the installed
# OstrinAPI: a C program found through pkg-config, and a C++ program found through find_package.
# install_test.sh BUILD_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -f "$scratch/prefix/include/OstrinAPI.h"

cat > "$scratch/user.c" <<'C'
#include <OstrinAPI.h>
#include <stdio.h>
int main(void) {
  WIN32_FIND_DATAW data;
  /* A letter outside A..Z, and no drive open: answered without a service. */
  if (OstGetLastError((WCHAR)'1') != 3000) return 1;
  if (OstFindFirstFile(26, NULL, &data) != NULL) return 2;
  printf("%d\n", (int)sizeof data);
  return 0;
}
C
pc=$(find "$scratch/prefix" -name OstrinAPI.pc)
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$2" -std=c11 -Wall -Werror -o "$scratch/user-c" "$scratch/user.c" $(pkg-config --cflags --libs OstrinAPI) \
  -Wl,-rpath,"$(pkg-config --variable=libdir OstrinAPI)"
# The library of a sanitizer build needs its runtime first; a user's program is built without it.
ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$("$2" -print-file-name=libasan.so)" "$scratch/user-c" | grep -qx 592

mkdir -p "$scratch/cmake-user"
cat > "$scratch/cmake-user/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(User CXX)
find_package(OstrinAPI REQUIRED)
add_executable(user user.cpp)
target_link_libraries(user PRIVATE Ostrin::OstrinAPI)
CMAKE
cat > "$scratch/cmake-user/user.cpp" <<'CPP'
#include <OstrinAPI.h>
int main() { return OstGetMemoryUsage(26) == 0 ? 0 : 1; }
CPP
cmake -S "$scratch/cmake-user" -B "$scratch/cmake-user/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
  -DCMAKE_CXX_COMPILER="$3" >/dev/null
cmake --build "$scratch/cmake-user/build" >/dev/null
echo "installed OstrinAPI builds and links from C (pkg-config) and C++ (CMake package)"
