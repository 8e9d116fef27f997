#!/usr/bin/env bash
# Peak memory of every mode on one long recording: a sparse file with a
# valid header claiming SIZE bytes of 8 kHz 16-bit mono samples (silence, so
# the disk holds nothing of it). Prints, for this build and a baseline, the
# peak resident set (GNU time's maximum RSS) and the wall time of each mode:
# every switch, --search, --rate, --gain, --normalize, --report, -D, and
# the input arriving through a pipe.
#   bench/memory.sh [--size BYTES] [--baseline PROGRAM] [--modes "E4 ..."]
set -euo pipefail
cd "$(dirname "$0")/.."
size=1000000000
baseline=""
while [ $# -gt 0 ]; do
  case $1 in
    --size) size=$2; shift ;;
    --baseline) baseline=$(realpath "$2"); shift ;;
    *) echo "memory.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
[ -x /usr/bin/time ] || { echo "memory.sh: needs GNU time (apt-get install time)" >&2; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release --target korvane >/dev/null
korvane=$PWD/build/release/korvane

work=${TMPDIR:-/tmp}/korvane-memory
mkdir -p "$work"
python3 - "$work/long.wav" "$size" <<'PY'
import struct, sys
path, size = sys.argv[1], int(sys.argv[2])
fmt = struct.pack('<IHHIIHH', 16, 1, 1, 8000, 16000, 2, 16)
with open(path, 'wb') as f:
    f.write(b'RIFF' + struct.pack('<I', 36 + size) + b'WAVE' + b'fmt ' + fmt +
            b'data' + struct.pack('<I', size))
    f.truncate(44 + size)
PY
in=$work/long.wav
"$korvane" -E4 "$in" "$work/long.AD4" >/dev/null

# Each row: a label and the arguments after the program.
rows=(
  "-E4|-E4 $in $work/out"
  "-E3|-E3 $in $work/out"
  "-E2|-E2 $in $work/out"
  "-E1|-E1 $in $work/out"
  "-E16|-E16 $in $work/out"
  "-E12|-E12 $in $work/out"
  "-E8|-E8 $in $work/out"
  "-E4 --search|-E4 --search $in $work/out"
  "-E4 --rate=8000|-E4 --rate=8000 $in $work/out"
  "-E4 --rate=11025|-E4 --rate=11025 $in $work/out"
  "-E4 --gain=-3|-E4 --gain=-3 $in $work/out"
  "-E4 --normalize|-E4 --normalize $in $work/out"
  "-E4 --report|-E4 --report $in $work/out"
  "-D|-D $work/long.AD4 $work/out.wav"
  "-E4 from a pipe|PIPE -E4 /dev/stdin $work/out"
)

# Runs one row; prints "peak-MiB seconds exit-code".
measure() {
  local program=$1 args=$2 pipe=""
  if [ "${args%% *}" = PIPE ]; then pipe=1; args=${args#PIPE }; fi
  rm -f "$work/out" "$work/out.wav"
  if [ -n "$pipe" ]; then
    cat "$in" | /usr/bin/time -o "$work/time" -f "%M %e %x" "$program" $args >/dev/null 2>&1 || true
  else
    /usr/bin/time -o "$work/time" -f "%M %e %x" "$program" $args >/dev/null 2>&1 || true
  fi
  local stats
  stats=$(tail -1 "$work/time")
  awk '{printf "%.1f %.1f %s\n", $1 / 1024, $2, $3}' <<< "$stats"
}

echo "input: $size bytes of samples ($(awk -v s="$size" 'BEGIN {printf "%.1f", s / 16000 / 3600}') h at 8 kHz)"
printf '| mode | peak MiB | s |%s\n' "${baseline:+ baseline peak MiB | baseline s |}"
printf '|---|---|---|%s\n' "${baseline:+---|---|}"
for row in "${rows[@]}"; do
  label=${row%%|*}
  args=${row#*|}
  read -r mib secs code < <(measure "$korvane" "$args")
  line="| \`$label\` | $mib | $secs |"
  [ "$code" = 0 ] || line="$line exit $code"
  if [ -n "$baseline" ]; then
    read -r bmib bsecs bcode < <(measure "$baseline" "$args")
    line="$line $bmib | $bsecs |"
    [ "$bcode" = 0 ] || line="$line exit $bcode"
  fi
  echo "$line"
done
rm -f "$work/out" "$work/out.wav"
