#!/usr/bin/env bash
# Whole-process timings of kelvane-cli per page, on A4 pages at 300 dpi (2480 x 3508): a gray
# PNG, a colour JPEG and a PBM. Each page is timed three ways in one run:
#   floor     kv-transcode: the same load and save through Kelvane's codecs, no deskewing
#   kelvane   kelvane-cli -j 1 (measure, rotate, save)
#   magick    ImageMagick's convert -deskew 40% on the same file
# and the ratios kelvane/floor and kelvane/magick are printed. ImageMagick and hyperfine are
# installed when missing (for this benchmark only; the tests never need them).
# Usage: bench/cli_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
runs=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

need=()
convert -version 2>/dev/null | grep -q ImageMagick || need+=(imagemagick)
command -v hyperfine >/dev/null || need+=(hyperfine)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing for the benchmark: ${need[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
# The real ImageMagick, even when a stand-in named convert comes first on the PATH.
magick=/usr/bin/convert
[ -x "$magick" ] || magick=$(command -v convert)

./scripts/deps
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target kelvane-cli kv-transcode kv-synthpage >/dev/null
cli="$build/src/app/cli/kelvane-cli"
transcode="$build/tools/kv-transcode"
synth="$build/tools/kv-synthpage"

# A4 at 300 dpi; glyph dots of 4 pixels give text lines about 28 pixels high.
"$synth" "$work/a4-gray.png" 2480 3508 gray 2.3 31 4
"$synth" "$work/a4-colour.jpg" 2480 3508 colour -1.7 32 4
"$synth" "$work/a4-mono.pbm" 2480 3508 mono 3.1 33 4
mkdir -p "$work/out"

# Median wall time in seconds of a command over $runs runs (after one warm-up run).
time_of() {
  local json="$work/t.json"
  hyperfine --style none --warmup 1 --runs "$runs" --export-json "$json" "$1" >/dev/null 2>&1
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$json"
}

printf '%-14s %9s %9s %9s %8s %8s %9s %9s\n' page "floor s" "kelvane s" "magick s" "k/floor" "k/magick" "k angle" "m angle"
for page in a4-gray.png a4-colour.jpg a4-mono.pbm; do
  src="$work/$page"
  ext=${page##*.}
  t_floor=$(time_of "$transcode $src $work/out/floor.$ext")
  t_kv=$(time_of "$cli -q -j 1 $src -o $work/out")
  t_im=$(time_of "$magick $src -deskew 40% $work/out/magick.$ext")
  a_kv=$("$cli" --measure "$src" | cut -f1)
  a_im=$("$magick" "$src" -deskew 40% -format '%[deskew:angle]' info: 2>/dev/null || echo "?")
  awk -v p="$page" -v f="$t_floor" -v k="$t_kv" -v m="$t_im" -v ak="$a_kv" -v am="$a_im" \
    'BEGIN { printf "%-14s %9.3f %9.3f %9.3f %8.2f %8.2f %9s %9s\n", p, f, k, m, k / f, k / m, ak, am }'
done
echo "Drawn angles: a4-gray.png 2.3, a4-colour.jpg -1.7, a4-mono.pbm 3.1 (positive: lines descend to the right)."
echo "Median of $runs runs each; machine: $(nproc) cores."
