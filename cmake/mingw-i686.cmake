# Cross-build for 32-bit Windows with mingw-w64 (Debian package mingw-w64).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# Builds the two deliverables against the real platform headers: the driver against
# <ddk/wdm.h> (found as <wdm.h>), the library against <windows.h>.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TQ_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TQ_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TQ_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TQ_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(TQ_MINGW_DDK_INCLUDE /usr/${TQ_MINGW_PREFIX}/include/ddk)
