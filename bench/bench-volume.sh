# Sourced by the benchmarks: bench_volume NAME prints the path of the benchmark volume made from
# tests/volumes/NAME.manifest (bench-200k: 200,000 files in 2,000 directories; bench-1m: 1,000,000
# files in 10,000 directories; bench-wide: one directory of 50,000 subdirectories). Each is made
# once with ostrin-mkvol (which $maker names) and cached outside the source tree under a key of its
# manifest and the maker, with the maker's listing beside it.
bench_volume() {
  local name=$1
  local cache=${OSTRIN_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ostrin-bench}
  local manifest=$root/tests/volumes/$name.manifest
  local key
  key=$(cat "$manifest" "$maker" | sha256sum | cut -c1-16)
  local image=$cache/$name-$key.img
  mkdir -p "$cache"
  if [ ! -f "$image" ]; then
    echo "Making the benchmark volume $name (once; cached in $cache) ..." >&2
    # Volumes of earlier manifests or makers go: they take gigabytes.
    rm -f "$cache/$name"-*.img "$cache/$name"-*.img.expected "$cache/$name"-*.img.tmp
    "$maker" "$manifest" "$image.tmp" "$image.expected" >/dev/null
    mv "$image.tmp" "$image"
  fi
  echo "$image"
}

# mft_floors IMAGE RUNS prints the two floors under a scan of the image, in ms, each the best of RUNS
# runs with a warm page cache: the reader's own 1 MiB reads of the MFT through its data runs
# (ostrin-mft-read, which $mftReader names), and a plain dd of the same bytes, extent by extent.
mft_floors() {
  local image=$1 count=$2
  local reader extents dd=
  reader=$(for _ in $(seq "$count"); do "$mftReader" "$image"; done | awk '{print $4}' | sort -n | head -1)
  extents=$("$mftReader" --extents "$image")
  for _ in $(seq "$count"); do
    local start end ms
    start=$(date +%s%N)
    while read -r offset length; do
      dd if="$image" of=/dev/null bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" status=none
    done <<<"$extents"
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [ -z "$dd" ] || [ "$ms" -lt "$dd" ]; then dd=$ms; fi
  done
  echo "$reader $dd"
}
