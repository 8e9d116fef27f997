#!/usr/bin/env bash
# One batch call against a shell loop of single calls, over a tree of short
# voice prompts (Debian's asterisk-core-sounds-en-wav: 568 prompts at 8 kHz,
# with repeated file names in different folders). Checks that both make the
# same bytes and prints the median wall time of several runs of each and the
# batch's peak memory.
#   bench/batch.sh [--install] [--runs N] [-E4|-E3|...] [extra options]
# --install fetches the prompts and GNU time from Debian first.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
runs=5
switch=-E4
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --install)
      install_debian asterisk-core-sounds-en-wav time ;;
    --runs) runs=$2; shift ;;
    -E*|-e*) switch=$1 ;;
    *) extra+=("$1") ;;
  esac
  shift
done
prompts=/usr/share/asterisk/sounds/en_US_f_Allison
[ -d "$prompts" ] || { echo "batch.sh: needs asterisk-core-sounds-en-wav (run with --install)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "batch.sh: needs GNU time (run with --install)" >&2; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release --target korvane >/dev/null
korvane=$PWD/build/release/korvane
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$prompts" "$work/prompts"
cd "$work"
mapfile -t inputs < <(find prompts -name '*.wav' | sort)
largest=$(find prompts -name '*.wav' -printf '%s\n' | sort -n | tail -1)

loop() {
  rm -rf loop
  for f in "${inputs[@]}"; do
    mkdir -p "loop/$(dirname "$f")"
    "$korvane" "$switch" "$f" "loop/${f%.wav}.out" "${extra[@]}" >/dev/null
  done
}
batch() {
  rm -rf batch
  "$korvane" "$switch" --out-dir=batch "${inputs[@]}" "${extra[@]}" >/dev/null
}
export -f loop batch
export korvane switch
for what in loop batch; do
  for i in $(seq "$runs"); do
    /usr/bin/time -f "%e %M" -o "$what.$i" bash -c "$(declare -p inputs extra); $what"
  done
done
# The same bytes: every output of the batch against its single call.
for f in "${inputs[@]}"; do
  cmp -s "loop/${f%.wav}.out" "batch/${f%.wav}".* || { echo "batch.sh: $f differs" >&2; exit 1; }
done
loop_s=$(cat loop.* | awk '{print $1}' | median)
batch_s=$(cat batch.* | awk '{print $1}' | median)
batch_kb=$(cat batch.* | awk '{print $2}' | sort -n | tail -1)
echo "${#inputs[@]} prompts, $switch ${extra[*]}, $(nproc) cores, outputs identical"
echo "| run | wall time (median of $runs) | ratio |"
echo "|---|---|---|"
echo "| shell loop of single calls | ${loop_s} s | 1.00 |"
echo "| one call with --out-dir | ${batch_s} s | $(awk -v a="$loop_s" -v b="$batch_s" 'BEGIN {printf "%.2f", b / a}') |"
echo "batch peak memory: $((batch_kb / 1024)) MiB (largest input $((largest / 1024)) KiB)"
