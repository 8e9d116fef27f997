#!/usr/bin/env bash
# --rate against sox's very-high-quality resampler, whole process, on ten
# minutes of speech at 48 kHz (stereo, 16-bit, as an editor exports it):
# the median user+system CPU time of several runs each, and how close the
# two results are (SNR of korvane's against sox's). korvane shares the
# filtering of one file among the cores; sox runs on one. Then the filter's own
# figures (korvane_resample_figures).
#   bench/resample.sh [--install] [--runs N]   (--install fetches sox, espeak-ng, GNU time)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
runs=5
install=""
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=--install ;;
    --runs) runs=$2; shift ;;
    *) echo "resample.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$install" ]; then
  install_debian sox espeak-ng time
fi
cmake --preset release >/dev/null
cmake --build --preset release --target korvane korvane_resample_figures >/dev/null
korvane=$PWD/build/release/korvane
bench/make-corpus.sh build/corpus $install >/dev/null
work=${TMPDIR:-/tmp}/korvane-resample
mkdir -p "$work"
if [ ! -f "$work/ten-minutes-48k.wav" ]; then
  list=()
  for i in $(seq 60); do list+=(build/corpus/*-16000.wav); done
  sox "${list[@]}" -r 48000 -c 2 -b 16 "$work/ten-minutes-48k.wav" trim 0 600 rate -v
fi
in=$work/ten-minutes-48k.wav
times() {  # median wall and median user+system seconds of a command over $runs runs
  for i in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S" -o "$work/t" "$@" >/dev/null 2>&1
    cat "$work/t"
  done >"$work/all"
  wall=$(awk '{print $1}' "$work/all" | median)
  cpu=$(awk '{print $2 + $3}' "$work/all" | median)
  echo "$wall $cpu"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2fx", a / b}'; }
echo "| to | korvane -E16 --rate: wall, CPU | sox rate -v: wall, CPU | faster, wall | faster, CPU | SNR against sox |"
echo "|---|---|---|---|---|---|"
for rate in 16000 8000; do
  read -r kw kc < <(times "$korvane" -E16 "--rate=$rate" "$in" "$work/k.pcm")
  read -r sw sc < <(times sox "$in" -r "$rate" -c 1 -b 16 "$work/s.wav" rate -v)
  # The PCM16 payload is the samples in offset form after a 10-byte start.
  snr=$(python3 - "$work/k.pcm" "$work/s.wav" <<'PY'
import math, struct, sys, wave
k = open(sys.argv[1], 'rb').read()
ours = [v - 0x8000 for v in struct.unpack('<%dH' % ((len(k) - 8) // 2), k[8:8 + (len(k) - 8) // 2 * 2])]
with wave.open(sys.argv[2]) as w:
    theirs = struct.unpack('<%dh' % w.getnframes(), w.readframes(w.getnframes()))
n = min(len(ours), len(theirs))
sig = sum(float(t) * t for t in theirs[:n])
err = sum(float(o - t) ** 2 for o, t in zip(ours[:n], theirs[:n]))
print('%.1f dB' % (10 * math.log10(sig / err)))
PY
)
  echo "| $rate Hz | $kw s, $kc s | $sw s, $sc s | $(ratio "$sw" "$kw") | $(ratio "$sc" "$kc") | $snr |"
done
echo
build/release/bench/korvane_resample_figures
