#!/bin/sh
# Links msvc_link_probe.c the way another Windows toolchain would (clang for the MSVC ABI,
# lld-link) against TAVLON.lib, then runs the program under Wine.
#   run_msvc_link.sh SOURCE_DIR LIB_DIR BIN_DIR PREFIX [ARCH]
# Exit status 77 (skipped) when clang, lld-link or Wine is not installed.
# The import objects dlltool writes carry no safe-exception-handler marking, so the link
# says /safeseh:no (lld-link asks for it by default on x86; MSVC's linker builds the table
# only when every object allows it).
set -u
source_dir=$1
lib_dir=$2
bin_dir=$3
prefix=$4
for tool in clang lld-link; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "run_msvc_link: $tool is not installed: skipped"
        exit 77
    fi
done
work=$bin_dir/msvc_link_probe
mkdir -p "$work" || exit 1
# ARCH (default i686) is x86_64 for the x64 build, whose objects have no /safeseh.
arch=${5:-i686}
safeseh=/safeseh:no
[ "$arch" = i686 ] || safeseh=
clang --target=$arch-pc-windows-msvc -ffreestanding -O1 -Wall -Werror -I"$source_dir/library" \
    -c "$source_dir/tests/win32/msvc_link_probe.c" -o "$work/msvc_link_probe.obj" || exit 1
lld-link /nologo $safeseh /entry:ProbeStart /subsystem:console /nodefaultlib \
    /out:"$bin_dir/msvc_link_probe.exe" "$work/msvc_link_probe.obj" "$lib_dir/TAVLON.lib" \
    /usr/$arch-w64-mingw32/lib/libkernel32.a || exit 1
exec sh "$source_dir/tests/win32/run_under_wine.sh" "$prefix" "$bin_dir/msvc_link_probe.exe"
