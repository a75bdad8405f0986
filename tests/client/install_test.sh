#!/usr/bin/env bash
# Installs the project into a scratch prefix and moves the prefix elsewhere (the installation holds no
# absolute paths), then: the installed ostrin starts without LD_LIBRARY_PATH and lists a made volume
# through the installed OstrinNT, and two programs of a user build against the installed OstrinAPI, a
# C program found through pkg-config and a C++ program found through find_package.
# install_test.sh BUILD_DIR C_COMPILER CXX_COMPILER OSTRIN_MKVOL MANIFEST
set -euo pipefail
build=$1
mkvol=$4
manifest=$5
scratch=$(mktemp -d)
service=
cleanup() {
  if [ -n "$service" ]; then
    kill -TERM "$service" 2>/dev/null || true
    wait "$service" || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$scratch/installed" >/dev/null
mv "$scratch/installed" "$scratch/prefix"
prefix=$scratch/prefix
test -f "$prefix/include/OstrinAPI.h"

# The command finds its library through a run path relative to itself.
readelf -d "$prefix/bin/ostrin" | grep -E 'R(UN)?PATH' | grep -q '\$ORIGIN/'
version=$(sed -n 's/^#define OSTRIN_API_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/OstrinAPI.h")
test "$("$prefix/bin/ostrin" --version)" = "$(printf 'ostrin %s\nOstrinAPI %s' "$version" "$version")"

# The installed service on a made volume, and the installed command listing it.
"$mkvol" "$manifest" "$scratch/volume.img" "$scratch/volume.expected" >/dev/null 2>"$scratch/mkvol.err" || { cat "$scratch/mkvol.err" >&2; exit 1; }
mkdir "$scratch/service"
printf 'port = 49020\nvolume.S = %s\n' "$scratch/volume.img" > "$scratch/service/OstrinNT.ini"
(cd "$scratch/service" && exec "$prefix/sbin/OstrinNT") &
service=$!
listening=
for _ in $(seq 100); do
  if (exec 3<>/dev/tcp/127.0.0.1/49020) 2>/dev/null; then
    listening=yes
    break
  fi
  sleep 0.1
done
test -n "$listening"
test "$("$prefix/bin/ostrin" ls 'S:\Documents')" = "$(printf 'notes.txt\nreport.txt')"
info=$("$prefix/bin/ostrin" --json info S:)
[[ $info == *'"files":9'* ]]
kill -TERM "$service"
wait "$service"
service=

cat > "$scratch/user.c" <<'C'
#include <OstrinAPI.h>
#include <stdio.h>
int main(void) {
  WIN32_FIND_DATAW data;
  /* A letter outside A..Z, and no drive open: answered without a service. */
  if (OstGetLastError((WCHAR)'1') != OSTRIN_ERROR_NOT_A_DRIVE_LETTER) return 1;
  if (OstFindFirstFile(26, NULL, &data) != NULL) return 2;
  printf("%d\n", (int)sizeof data);
  return 0;
}
C
pc=$(find "$prefix" -name OstrinAPI.pc)
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$2" -std=c89 -Wall -Wextra -pedantic -Werror -o "$scratch/user-c" "$scratch/user.c" \
  $(pkg-config --cflags --libs OstrinAPI) -Wl,-rpath,"$(pkg-config --variable=libdir OstrinAPI)"
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
cmake -S "$scratch/cmake-user" -B "$scratch/cmake-user/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$3" >/dev/null
cmake --build "$scratch/cmake-user/build" >/dev/null
echo "installed ostrin lists the installed service's drive; OstrinAPI builds and links from C (pkg-config) and C++ (CMake package)"
