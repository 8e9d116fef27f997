#!/usr/bin/env bash
# The search table of the README: the gain of every --search level over the
# plain encoder and its speed, on real voice prompts at 8 and 16 kHz.
#
# The sets: every 14th file of the sorted list of the top folder, digits/ and
# letters/ of Debian's asterisk-core-sounds-en-wav (36 prompts, 104 s), as
# shipped (8 kHz) and resampled with `sox IN -r 16000 OUT rate -v`.
# Gain: the mean over the prompts of the SNR a level reaches less the plain
# encoder's. Speed: seconds of speech per CPU second (user + system) of whole
# `korvane` processes, one a prompt, as a build script runs them; the time
# includes the --report that measures the SNR.
#   bench/search.sh [--install] [--levels "0 1 ..."] [--formats "E4 E3 E2 E1"]
#                   [--rates "8000 16000"] [--program PATH]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
levels="1 2 3 4 5 6 7 8 9"
formats="E4 E3 E2 E1"
rates="8000 16000"
program=""
install=""
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=yes ;;
    --levels) levels=$2; shift ;;
    --formats) formats=$2; shift ;;
    --rates) rates=$2; shift ;;
    --program) program=$2; shift ;;
    *) echo "search.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
sounds=/usr/share/asterisk/sounds/en_US_f_Allison
if [ -n "$install" ] && { [ ! -d $sounds ] || ! command -v sox >/dev/null || ! command -v python3 >/dev/null; }; then
  install_debian asterisk-core-sounds-en-wav sox python3
fi
[ -d $sounds ] && command -v sox >/dev/null && command -v python3 >/dev/null || {
  echo "search.sh: needs asterisk-core-sounds-en-wav, sox and python3 (run with --install)" >&2; exit 1; }
if [ -z "$program" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target korvane >/dev/null
  program=build/release/korvane
fi

sets=build/search-sets
if [ ! -f $sets/done ]; then
  rm -rf $sets
  mkdir -p $sets/8000 $sets/16000
  (cd $sounds && ls ./*.wav digits/*.wav letters/*.wav) | sed 's|^\./||' | LC_ALL=C sort |
    awk 'NR % 14 == 0' | while read -r f; do
      name=${f//\//-}
      cp "$sounds/$f" "$sets/8000/$name"
      sox "$sounds/$f" -r 16000 "$sets/16000/$name" rate -v
    done
  touch $sets/done
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one command line per prompt of a set; prints the CPU seconds (user +
# system, from the kernel's accounting of each korvane process alone) and
# leaves their CSV rows in $work/rows.
run_set() {
  local rate=$1
  shift
  python3 - "$work" "$program" "$@" $sets/$rate/*.wav <<'PY'
import os, subprocess, sys
work, program = sys.argv[1], sys.argv[2]
args = [a for a in sys.argv[3:] if not a.endswith('.wav')]
files = [a for a in sys.argv[3:] if a.endswith('.wav')]
cpu = 0.0
with open(work + '/rows', 'w') as rows:
    for f in files:
        p = subprocess.Popen([program] + args + ['--report=csv', f, work + '/out'],
                             stdout=subprocess.PIPE)
        out = p.stdout.read().decode()
        _, status, usage = os.wait4(p.pid, 0)
        if status != 0:
            sys.exit('search.sh: korvane failed on ' + f)
        cpu += usage.ru_utime + usage.ru_stime
        rows.write(out.splitlines()[-1] + '\n')
print(cpu)
PY
}

# snr_db of each row, one a line.
snrs() { cut -d, -f8 "$work/rows"; }

echo "| Format | Level | $(for r in $rates; do printf '%s Hz gain | %s Hz speed | ' $r $r; done)"
echo "|---|---|$(for r in $rates; do printf -- '---|---|'; done)"
for format in $formats; do
  for rate in $rates; do
    run_set "$rate" "-$format" >/dev/null
    snrs >"$work/plain-$rate"
    awk -F, '{s += $4 / $5} END {print s}' "$work/rows" >"$work/seconds-$rate"
  done
  for level in $levels; do
    line="| $format | $level |"
    for rate in $rates; do
      cpu=$(run_set "$rate" "-$format" "--search=$level")
      gain=$(snrs | paste -d' ' - "$work/plain-$rate" | awk '{s += $1 - $2; n++} END {printf "%+.2f", s / n}')
      speed=$(awk -v s="$(cat "$work/seconds-$rate")" -v c="$cpu" 'BEGIN {printf "%.0f", s / c}')
      line="$line $gain dB | ${speed}x |"
    done
    echo "$line"
  done
done
