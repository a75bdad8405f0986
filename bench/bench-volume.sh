# Sourced by the benchmarks: bench_volume prints the path of the volume of 200,000 files in 2,000
# directories, made once with ostrin-mkvol (which $build must hold) and cached outside the source tree
# under a key of its manifest and the maker, with the maker's listing beside it.
bench_volume() {
  local cache=${OSTRIN_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrin-bench}
  local manifest=$root/tests/volumes/bench-200k.manifest
  local key
  key=$(cat "$manifest" "$build/tools/mkvol/ostrin-mkvol" | sha256sum | cut -c1-16)
  local image=$cache/bench-200k-$key.img
  mkdir -p "$cache"
  if [ ! -f "$image" ]; then
    echo "Making the benchmark volume (once; cached in $cache) ..." >&2
    "$build/tools/mkvol/ostrin-mkvol" "$manifest" "$image.tmp" "$image.expected" >/dev/null
    mv "$image.tmp" "$image"
  fi
  echo "$image"
}
