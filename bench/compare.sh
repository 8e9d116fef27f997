#!/usr/bin/env bash
# Whole-process comparison: korvane against ffmpeg's and sox's IMA ADPCM
# encoders and cat (the I/O floor), on a long recording made by repeating
# speech (about 200 MB) and on ten minutes of it. Prints the median wall time
# of several runs, the ratio to korvane -E4, and the peak memory of each.
#   bench/compare.sh [--install] [--runs N]
# --install fetches ffmpeg, sox, espeak-ng and GNU time from Debian first.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
runs=5
install=""
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=--install ;;
    --runs) runs=$2; shift ;;
    *) echo "compare.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$install" ]; then
  install_debian ffmpeg sox espeak-ng time
fi
[ -x /usr/bin/time ] || { echo "compare.sh: needs GNU time (/usr/bin/time); run with --install" >&2; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release --target korvane >/dev/null
korvane=$PWD/build/release/korvane
bench/make-corpus.sh build/corpus $install >/dev/null

work=${TMPDIR:-/tmp}/korvane-compare
mkdir -p "$work"
if [ ! -f "$work/long.wav" ]; then
  list=()
  for i in $(seq 70); do list+=(build/corpus/*-16000.wav); done
  sox "${list[@]}" "$work/long.wav"
  sox "$work/long.wav" "$work/ten-minutes.wav" trim 0 600
fi

# median of the wall times of $runs runs, and the largest peak RSS, of one command
measure() {
  local times=() peak=0 t rss
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>&1
    read -r t rss <"$work/time.txt"
    times+=("$t")
    [ "$rss" -gt "$peak" ] && peak=$rss
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | median)
  echo "$median $peak"
}

for input in long ten-minutes; do
  wav=$work/$input.wav
  size=$(stat -c %s "$wav")
  "$korvane" -E4 "$wav" "$work/out.AD4" >/dev/null
  echo
  echo "$input.wav: $((size / 1000000)) MB, $(soxi -D "$wav" | cut -d. -f1) s; median of $runs runs"
  echo
  echo "| Command | Wall time (s) | Relative to korvane -E4 | Peak memory (MiB) |"
  echo "|---|---|---|---|"
  base=""
  row() {
    local name=$1; shift
    read -r t rss < <(measure "$@")
    [ -z "$base" ] && base=$t
    awk -v n="$name" -v t="$t" -v b="$base" -v m="$rss" \
      'BEGIN { printf "| %s | %.2f | %.1fx | %.0f |\n", n, t, (b > 0 ? t / b : 0), m / 1024 }'
  }
  row "korvane -E4" "$korvane" -E4 "$wav" "$work/out.AD4"
  row "korvane -E2" "$korvane" -E2 "$wav" "$work/out.AD2"
  row "korvane -E1" "$korvane" -E1 "$wav" "$work/out.WFM"
  row "korvane -E16" "$korvane" -E16 "$wav" "$work/out.PCM"
  row "korvane -D (of the .AD4)" "$korvane" -D "$work/out.AD4" "$work/decoded.wav"
  row "cat (I/O floor)" sh -c "cat '$wav' > '$work/cat.out'"
  if command -v ffmpeg >/dev/null; then
    row "ffmpeg -c:a adpcm_ima_wav" ffmpeg -nostdin -v error -y -i "$wav" -c:a adpcm_ima_wav "$work/ffmpeg.wav"
  fi
  if command -v sox >/dev/null; then
    row "sox -e ima-adpcm" sox "$wav" -e ima-adpcm "$work/sox.wav"
  fi
  echo
  for out in out.AD4 out.AD2 out.WFM out.PCM; do
    echo "memory bound for $out: input + output + 16 MiB = $(( (size + $(stat -c %s "$work/$out")) / 1048576 + 16 )) MiB"
  done
done
