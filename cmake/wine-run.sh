#!/usr/bin/env bash
# Runs a Windows program under wine with a private prefix under build/, no
# debug chatter and a UTF-8 locale.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${KORVANE_WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=-all
export LANG=C.UTF-8 LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -d "$WINEPREFIX" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1 || true
fi
exec wine "$@"
