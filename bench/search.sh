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
# --baseline PATH measures a second build at the same levels, each set in
# turn with the first, and --rounds N runs every set N times in turn and
# prints the median speed: on a shared machine only side-by-side timings
# compare.
#   bench/search.sh [--install] [--levels "0 1 ..."] [--formats "E4 E3 E2 E1"]
#                   [--rates "8000 16000"] [--program PATH] [--baseline PATH] [--rounds N]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
levels="1 2 3 4 5 6 7 8 9"
formats="E4 E3 E2 E1"
rates="8000 16000"
program=""
baseline=""
rounds=1
install=""
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=yes ;;
    --levels) levels=$2; shift ;;
    --formats) formats=$2; shift ;;
    --rates) rates=$2; shift ;;
    --program) program=$2; shift ;;
    --baseline) baseline=$2; shift ;;
    --rounds) rounds=$2; shift ;;
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

# For one format, rate and level, runs each program over the set in turn,
# `rounds` times, one process per prompt with --report; prints a table cell
# per program: the mean gain over the plain encoder and the median speed.
measure() {
  python3 - "$sets/$1" "$2" "$3" "$rounds" "$program" $baseline <<'PY'
import glob, os, re, statistics, subprocess, sys
folder, switch, level, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
programs = sys.argv[5:]
files = sorted(glob.glob(folder + '/*.wav'))
out = os.environ.get('TMPDIR', '/tmp') + '/korvane-search-%d' % os.getpid()

def run(program, args):
    cpu, snrs, seconds = 0.0, [], 0.0
    for f in files:
        p = subprocess.Popen([program] + args + ['--report', f, out], stdout=subprocess.PIPE)
        line = p.stdout.read().decode()
        _, status, usage = os.wait4(p.pid, 0)
        if status != 0:
            sys.exit('search.sh: %s failed on %s' % (program, f))
        cpu += usage.ru_utime + usage.ru_stime
        m = re.search(r': (\d+) samples, (\d+) Hz, .*SNR (-?[0-9.]+|inf) dB', line)
        seconds += int(m.group(1)) / int(m.group(2))
        snrs.append(float(m.group(3)))
    return cpu, snrs, seconds

plain = {p: run(p, [switch])[1] for p in programs}
speeds = {p: [] for p in programs}
gains = {}
for _ in range(rounds):
    for p in programs:
        cpu, snrs, seconds = run(p, [switch, '--search=%d' % level])
        speeds[p].append(seconds / cpu)
        gains[p] = sum(a - b for a, b in zip(snrs, plain[p])) / len(snrs)
os.path.exists(out) and os.remove(out)
print(' '.join('%+.2f dB | %.0fx |' % (gains[p], statistics.median(speeds[p])) for p in programs))
PY
}

names="korvane"
[ -z "$baseline" ] || names="korvane baseline"
echo "| Format | Level | $(for r in $rates; do for n in $names; do printf '%s %s Hz gain | %s %s Hz speed | ' $n $r $n $r; done; done)"
echo "|---|---|$(for r in $rates; do for n in $names; do printf -- '---|---|'; done; done)"
for format in $formats; do
  for level in $levels; do
    line="| $format | $level |"
    for rate in $rates; do
      line="$line $(measure "$rate" "-$format" "$level")"
    done
    echo "$line"
  done
done
