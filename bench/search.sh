#!/usr/bin/env bash
# The search table of the README: builds the release tools, makes the speech
# corpus (bench/make-corpus.sh; pass --install to fetch espeak-ng and sox) and
# prints, for every level, the mean SNR gain over the greedy encoder and the
# speed in multiples of real time at 16 kHz on one core.
#   bench/search.sh [--install] [--levels A-B]
set -euo pipefail
cd "$(dirname "$0")/.."
install=""
levels=()
while [ $# -gt 0 ]; do
  case $1 in
    --install) install=--install ;;
    --levels) levels=(--levels "$2"); shift ;;
    *) echo "search.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
cmake --preset release >/dev/null
cmake --build --preset release --target korvane_search_quality >/dev/null
bench/make-corpus.sh build/corpus $install >/dev/null
build/release/bench/korvane_search_quality "${levels[@]}" build/corpus/*.wav
