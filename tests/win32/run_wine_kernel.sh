#!/bin/sh
# The Wine kernel stage: runs wine_kernel_test.exe, which installs this build's
# Tq4815x.sys as a kernel-driver service on Wine's own kernel and drives it, in a 32-bit
# Wine prefix of its own, then checks Wine's log of the run.
#   run_wine_kernel.sh PREFIX PROGRAM
# PREFIX is created (WINEARCH=win32, or TQ_WINEARCH: win64 for the x64 build; headless)
# unless it exists; a prefix left by an
# earlier run is reused, the program removing what such a run may have left installed.
# The log (PREFIX.log, beside the prefix) holds the stderr of every Wine process of the
# run, winedevice.exe's among them (it inherits it from the first program); the stage
# fails on any err: line of the kernel (ntoskrnl), the Plug and Play manager (plugplay),
# the heap or the driver host (winedevice), on a "mismatching heap" warning (a block
# freed through the wrong allocator), on a call into an unimplemented Wine function, and
# when the Plug and Play manager's trace does not show both removals passed down by the
# driver (the trace's wording is Wine 8's).
# Exit status 77 (skipped) only when Wine is not installed.
set -u
prefix=$1
program=$2
wine=${TQ_WINE:-wine}
if ! command -v "$wine" >/dev/null 2>&1; then
    echo "run_wine_kernel: $wine is not installed: skipped"
    exit 77
fi
wineserver=$(dirname "$(command -v "$wine")")/wineserver
log=$prefix.log

export WINEPREFIX="$prefix"
export WINEARCH=${TQ_WINEARCH:-win32}
# No Mono or Gecko installer at the prefix's first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Ends whatever server an interrupted earlier run may have left for this prefix, then
# waits (bounded) for it to go: the next one must start from the saved registry.
stop_server() {
    "$wineserver" -k >/dev/null 2>&1
    timeout 30 "$wineserver" -w >/dev/null 2>&1
}

# Creates the prefix. A first start of Wine now and then fails (wineboot's status 53 was
# seen once in a fresh 64-bit prefix, right after another prefix's programs had run); the
# creation is tried once more from scratch before the stage gives up.
create_prefix() {
    stop_server
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    WINEDEBUG=-all "$wine" wineboot -i >/dev/null 2>&1
    status=$?
    # The registry reaches the prefix's files when the server ends.
    timeout 60 "$wineserver" -w
    [ $status -eq 0 ] && [ -f "$prefix/system.reg" ]
}

if [ ! -f "$prefix/system.reg" ]; then
    if ! create_prefix && ! create_prefix; then
        echo "run_wine_kernel: creating the prefix $prefix failed ($status)"
        exit 1
    fi
fi
stop_server

# Errors of every channel, heap warnings, the driver host's own trace (which shows that
# its output reaches the log) and the Plug and Play manager's (which shows the requests
# it sends to the device's stack, and those that reach the root device below the driver).
export WINEDEBUG=err+all,warn+heap,trace+winedevice,trace+plugplay
"$wine" "$program" 2>"$log"
status=$?
# The services end a few seconds after the last program; a driver stuck in its
# removal or unload would keep winedevice.exe: then the server is ended.
if ! timeout 30 "$wineserver" -w; then
    echo "run_wine_kernel: Wine's services did not end; ending them"
    stop_server
fi

if ! grep -q 'trace:winedevice:' "$log"; then
    echo "run_wine_kernel: the log $log holds nothing of winedevice.exe"
    status=1
fi
# The program removes two devices of the driver (one more when it cleans up after an
# interrupted run). Each removal must send surprise removal (minor 0x17) and then removal
# (0x2) to the device's stack, and the driver must pass both down to the root device
# (Wine's traces of send_remove_device_irp and of pnp_manager_device_pnp, the root
# device's handler, for the same device).
removals=$(awk '
    /wine_enumerate_root_devices Removing device L"ROOT.*TQ4815X/ { ours = 1; removed++; next }
    ours && /send_remove_device_irp Removing device / {
        line = $0; sub(/.*Removing device /, "", line); sub(/\.$/, "", line)
        split(line, f, ", code "); sent[f[1] "," f[2]] = 1; next
    }
    /pnp_manager_device_pnp device / {
        line = $0; sub(/.*pnp_manager_device_pnp device /, "", line); split(line, f, ",")
        minor = $0; sub(/.*minor function /, "", minor); sub(/\.$/, "", minor)
        if (minor == "0x17" && ((f[1] ",17") in sent)) surprise++
        if (minor == "0x2" && ((f[1] ",2") in sent)) { removal++; ours = 0 }
    }
    END {
        if (removed < 2 || surprise != removed || removal != removed)
            printf "%d device removals, %d surprise removals and %d removals passed down", removed, surprise, removal
    }' "$log")
if [ -n "$removals" ]; then
    echo "run_wine_kernel: $removals by the driver; expected at least 2, each with both passed down"
    status=1
fi
if grep -i -E 'err:(ntoskrnl|plugplay|heap|winedevice):|mismatching heap|unimplemented function' "$log"; then
    echo "run_wine_kernel: Wine reported the lines above ($log)"
    status=1
fi
exit $status
