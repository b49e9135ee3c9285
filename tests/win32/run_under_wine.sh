#!/bin/sh
# Runs a Windows program of this build under Wine, in the build's own Wine prefix, with
# Wine's diagnostics off and no display (message-only windows need none).
#   run_under_wine.sh PREFIX --init                  creates PREFIX unless it exists
#   run_under_wine.sh PREFIX PROGRAM [ARGUMENTS...]  runs PROGRAM; its exit status
# Exit status 77 (the tests' "skipped") only when Wine is not installed; any other
# failure to run is a failure. TQ_WINE names the wine program (default: wine on PATH).
set -u
prefix=$1
shift
wine=${TQ_WINE:-wine}
if ! command -v "$wine" >/dev/null 2>&1; then
    echo "run_under_wine: $wine is not installed: skipped"
    exit 77
fi
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer at the prefix's first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ "${1:-}" = "--init" ]; then
    if [ -f "$prefix/system.reg" ]; then
        exit 0
    fi
    mkdir -p "$(dirname "$prefix")"
    "$wine" wineboot -i
    status=$?
    # The registry reaches the prefix's files when the server ends: wait for that, so
    # the prefix is whole before the programs run.
    wineserver=$(dirname "$(command -v "$wine")")/wineserver
    if [ -x "$wineserver" ]; then
        "$wineserver" -w
    else
        sleep 5
    fi
    if [ $status -ne 0 ] || [ ! -f "$prefix/system.reg" ]; then
        echo "run_under_wine: creating the prefix $prefix failed ($status)"
        exit 1
    fi
    exit 0
fi
exec "$wine" "$@"
