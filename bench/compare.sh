#!/usr/bin/env bash
# Whole-process comparison: korvane against a baseline build of korvane, and
# against ffmpeg's IMA ADPCM encoder, sox's resampler and cat (the I/O floor),
# on ten minutes of speech at 16 kHz (the speech corpus repeated), ten minutes
# of white noise and five seconds of speech: every greedy encoder, -D of each
# (over a file that exists and to a new one) and --rate from ten minutes at
# 48 kHz. Every command runs --runs times, all of them in turn, so that the
# machine's drift falls on all alike; prints the median wall time, the median
# CPU time (user and system) and the peak memory of each. Outputs are written
# over files that exist, as a build script does, but where a row says "new".
#   bench/compare.sh [--baseline PROGRAM | --baseline-rev REV] [--runs N]
#                    [--vector PATH] [--install]
# --baseline-rev builds that revision in a worktree under build/ first;
# --vector sets KORVANE_VECTOR for this build's runs (portable, avx2, avx512);
# --install fetches ffmpeg, sox, espeak-ng, python3 and GNU time from Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
runs=15
install=""
baseline=""
rev=""
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=--install ;;
    --runs) runs=$2; shift ;;
    --baseline) baseline=$(realpath "$2"); shift ;;
    --baseline-rev) rev=$2; shift ;;
    --vector) export KORVANE_VECTOR=$2; shift ;;
    *) echo "compare.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$install" ]; then
  install_debian ffmpeg sox espeak-ng python3 time
fi
command -v python3 >/dev/null && command -v sox >/dev/null || {
  echo "compare.sh: needs python3 and sox (run with --install)" >&2; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release --target korvane >/dev/null
korvane=$PWD/build/release/korvane
if [ -n "$rev" ]; then
  tree=$PWD/build/baseline-src
  git worktree remove --force "$tree" 2>/dev/null || true
  git worktree add --detach "$tree" "$rev" >/dev/null 2>&1
  cmake -S "$tree" -B build/baseline -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF >/dev/null
  cmake --build build/baseline --target korvane >/dev/null
  git worktree remove --force "$tree"
  baseline=$PWD/build/baseline/korvane
fi
bench/make-corpus.sh build/corpus $install >/dev/null

work=${TMPDIR:-/tmp}/korvane-compare
mkdir -p "$work"
if [ ! -f "$work/ten-minutes.wav" ]; then
  list=()
  for _ in $(seq 7); do list+=(build/corpus/*-16000.wav); done
  sox "${list[@]}" "$work/seven-times.wav"
  sox "$work/seven-times.wav" "$work/ten-minutes.wav" trim 0 600
  rm "$work/seven-times.wav"
fi
[ -f "$work/five-seconds.wav" ] || sox "$work/ten-minutes.wav" "$work/five-seconds.wav" trim 100 5
[ -f "$work/noise.wav" ] ||
  sox -n -r 16000 -b 16 -c 1 "$work/noise.wav" synth 600 whitenoise vol 0.5
[ -f "$work/mono48.wav" ] || sox "$work/ten-minutes.wav" -r 48000 "$work/mono48.wav"
for switch in -E4 -E3 -E2 -E1; do
  "$korvane" $switch "$work/ten-minutes.wav" "$work/speech$switch" >/dev/null
done

# Lines of "label<TAB>command"; the label names the row, "baseline" or "now"
# the column. Each row's baseline runs just before its now, so that what the
# commands before leave behind (dirty pages being written out) falls on both.
commands=()
add() {  # add ROW ARGUMENTS...: the row for both programs
  local row=$1; shift
  [ -z "$baseline" ] || commands+=("baseline|$row	$baseline $*")
  commands+=("now|$row	$korvane $*")
}
for input in ten-minutes noise five-seconds; do
  for switch in -E4 -E3 -E2 -E1; do
    add "korvane $switch, $input" "$switch $work/$input.wav $work/out$switch"
  done
done
for switch in -E4 -E3 -E2 -E1; do
  add "korvane -D of the speech $switch" "-D $work/speech$switch $work/decoded.wav"
  add "korvane -D of the speech $switch, new" "-D $work/speech$switch $work/new.wav"
done
for rate in 8000 16000; do
  add "korvane -E16 --rate=$rate, 48 kHz" "-E16 $work/mono48.wav $work/rate.out --rate=$rate"
done
other() { commands+=("now|$1	$2"); }
for rate in 8000 16000; do
  other "sox rate -v $rate, 48 kHz" "sox $work/mono48.wav -r $rate $work/sox.wav rate -v"
done
if command -v ffmpeg >/dev/null; then
  other "ffmpeg -c:a adpcm_ima_wav, ten-minutes" \
    "ffmpeg -nostdin -v error -y -i $work/ten-minutes.wav -c:a adpcm_ima_wav $work/ffmpeg.wav"
fi
other "cat (I/O floor), ten-minutes" "sh -c 'cat $work/ten-minutes.wav > $work/cat.out'"

printf '%s\n' "${commands[@]}" >"$work/commands.txt"
python3 - "$runs" "$work/commands.txt" <<'PY'
import os, shlex, statistics, sys, time
runs = int(sys.argv[1])
with open(sys.argv[2]) as listing:
    rows = [line.rstrip('\n').split('\t') for line in listing if line.strip()]
wall = {label: [] for label, _ in rows}
cpu = {label: [] for label, _ in rows}
peak = {label: 0 for label, _ in rows}
null = os.open(os.devnull, os.O_WRONLY)
actions = [(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, null, 2)]
for r in range(runs + 1):  # the first round warms the caches and is not counted
    for label, command in rows:
        args = shlex.split(command)
        if label.endswith(', new') and os.path.exists(args[-1]):
            os.unlink(args[-1])  # a row of a new output: none there before it
        # posix_spawn (vfork underneath): little of the spawner's own time lands in a row.
        start = time.perf_counter()
        pid = os.posix_spawnp(args[0], args, os.environ, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
        if status != 0:
            sys.exit('compare.sh: failed: ' + command)
        if r > 0:
            wall[label].append(elapsed * 1000)
            cpu[label].append((usage.ru_utime + usage.ru_stime) * 1000)
# Peak memory once a command, through GNU time, whose own few pages are all
# the child starts with (a child of this script would count its pages too).
import subprocess
for label, command in rows:
    args = shlex.split(command)
    if label.endswith(', new') and os.path.exists(args[-1]):
        os.unlink(args[-1])
    done = subprocess.run(['/usr/bin/time', '-f', '%M'] + args, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    peak[label] = int(done.stderr.strip().splitlines()[-1])
def figure(label):
    if label not in wall:
        return '', ''
    return ('%.1f ms' % statistics.median(wall[label]),
            '%.1f ms (%.0f MiB)' % (statistics.median(cpu[label]), peak[label] / 1024))
names = []
for label, _ in rows:
    name = label.split('|', 1)[1]
    if name not in names:
        names.append(name)
ffmpeg = 'now|ffmpeg -c:a adpcm_ima_wav, ten-minutes'
print('median of %d runs each, all in turn; CPU = user + system, then peak memory' % runs)
print()
print('| Command | Baseline: wall | CPU (peak memory) | Now: wall | CPU (peak memory) | Baseline / now | ffmpeg / now |')
print('|---|---|---|---|---|---|---|')
for name in names:
    b, n = 'baseline|' + name, 'now|' + name
    bw, bc = figure(b)
    nw, nc = figure(n)
    ratio = ('%.2fx' % (statistics.median(wall[b]) / statistics.median(wall[n]))
             if b in wall and n in wall else '')
    versus = ('%.1fx' % (statistics.median(wall[ffmpeg]) / statistics.median(wall[n]))
              if ffmpeg in wall and n in wall and 'ten-minutes' in name and 'korvane -E' in name
              else '')
    print('| %s | %s | %s | %s | %s | %s | %s |' % (name, bw, bc, nw, nc, ratio, versus))
PY
