#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need (apt, as root); man-db
# and groff-base render the manual pages in their test.
# Does nothing when they are all present already. "fuzz" as an argument adds what fuzz/run-fuzz
# needs: clang with libFuzzer and the sanitizer runtimes.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev googletest
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  ntfs-3g ntfs-3g-dev
  sleuthkit libfsntfs-utils
  forensics-samples-ntfs xz-utils
  time
  python3
  man-db groff-base
)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  echo "These Debian packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
