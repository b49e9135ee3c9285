# Cross-build for 64-bit Windows (x64) with mingw-w64 (Debian package mingw-w64).
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x64.cmake
# The same two deliverables as the 32-bit build, from the same sources: Tq4815x.sys for
# 64-bit Windows against <ddk/wdm.h>, TAVLON.dll (plain export names: x64 has one calling
# convention) against <windows.h>.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TQ_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TQ_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TQ_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(TQ_MINGW_DDK_INCLUDE /usr/${TQ_MINGW_PREFIX}/include/ddk)
