#!/usr/bin/env bash
# Prints the quality table of the README: every format on one recording, with
# the size and the SNR that --report measures through the device player.
#   bench/quality.sh [program] [recording.wav] [extra options, e.g. --search]
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/release/korvane}
input=${2:-examples/voice.wav}
shift $(( $# > 2 ? 2 : $# )) || true
[ -x "$program" ] || cmake --workflow --preset demo >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "| Switch | Format | Bytes | Bits per sample | SNR (dB) |"
echo "|---|---|---|---|---|"
for sw in -E4 -E3 -E2 -E1 -E16 -E12 -E8; do
  line=$("$program" "$sw" "$input" "$work/out" --report "$@")
  bytes=$(sed -E 's/.* ([0-9]+) bytes.*/\1/' <<<"$line")
  bits=$(sed -E 's/.* ([0-9]+) bits per sample.*/\1/' <<<"$line")
  snr=$(sed -E 's/.*SNR (.*) dB/\1/' <<<"$line")
  case $sw in
    -E4) name="4-bit ADPCM" ;; -E3) name="3-bit ADPCM" ;; -E2) name="2-bit ADPCM" ;;
    -E1) name="WFM" ;; -E16) name="PCM16" ;; -E12) name="PCM12" ;; -E8) name="PCM8" ;;
  esac
  echo "| \`$sw\` | $name | $bytes | $bits | $snr |"
done
