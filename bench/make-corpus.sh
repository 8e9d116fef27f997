#!/usr/bin/env bash
# Builds the speech corpus of the search benchmark: several espeak-ng voices,
# each at 8 and 16 kHz, mono 16-bit, beside the bundled recording.
#   bench/make-corpus.sh [folder] [--install]   (--install fetches espeak-ng and sox from Debian)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
out=${1:-build/corpus}
if [ "${2:-}" = "--install" ] && ! command -v espeak-ng >/dev/null; then
  install_debian espeak-ng sox
fi
command -v espeak-ng >/dev/null && command -v sox >/dev/null || {
  echo "make-corpus: needs espeak-ng and sox (run with --install)" >&2; exit 1; }
mkdir -p "$out"
text="The quick brown fox jumps over the lazy dog. Please hold the line; your call is important \
to us. Seven, eight, nine: the doors are closing. Warning! Battery low, connect the charger now."
voices=(en-gb en-us+f3 en-us+m5 de+f2 fr+m3 es+f4)
for v in "${voices[@]}"; do
  name=${v//+/_}
  espeak-ng -v "$v" -s 160 -w "$out/raw.wav" "$text"
  for rate in 8000 16000; do
    sox -D "$out/raw.wav" -r "$rate" -c 1 -b 16 "$out/$name-$rate.wav"
  done
done
rm -f "$out/raw.wav"
cp examples/voice.wav "$out/voice-16000.wav"
sox -D examples/voice.wav -r 8000 "$out/voice-8000.wav"
ls "$out"
