# Windows build only: links the driver's objects into the kernel driver
# ${CMAKE_BINARY_DIR}/bin/Tq4815x.sys and checks its import table.
#
# Included by driver/CMakeLists.txt once the driver's object library exists:
#   include(${CMAKE_CURRENT_SOURCE_DIR}/windows_link.cmake)
# TQ_DRIVER_OBJECT_LIBRARY names that object library (default: Tq4815x_objects).
#
# The link is a custom command rather than an add_library(SHARED): a kernel driver takes
# nothing of the toolchain's default Win32 libraries (kernel32, msvcrt, …) that CMake adds
# to every link, and its entry point is DriverEntry, not a DLL entry.
#   -shared -nostdlib                   a DLL-format image with no C runtime
#   --subsystem,native                  loaded by the kernel
#   --entry,_DriverEntry@8              the stdcall-decorated DriverEntry (x64: DriverEntry,
#                                       the one calling convention has no decoration)
#   --exclude-all-symbols               nothing exported
#   --image-base,0x10000                the customary base of a driver image (relocatable;
#                                       x64: 0x140000000)
#   -lntoskrnl -lhal -lgcc              the kernel, the HAL, and the compiler's helpers
# The check (cmake/check_driver_imports.sh) fails the build when the image imports
# anything but the allowed routines of ntoskrnl.exe and HAL.dll (x64: its own lists,
# and the image must be an x64 one).

if(NOT TQ_WIN32)
  return()
endif()
if(NOT DEFINED TQ_DRIVER_OBJECT_LIBRARY)
  set(TQ_DRIVER_OBJECT_LIBRARY Tq4815x_objects)
endif()

set(TQ_DRIVER_SYS ${CMAKE_BINARY_DIR}/bin/Tq4815x.sys)
set(TQ_DRIVER_IMPORT_CHECK ${PROJECT_SOURCE_DIR}/cmake/check_driver_imports.sh)
set(TQ_DRIVER_OBJDUMP ${TQ_MINGW_PREFIX}-objdump)
if(TQ_WIN64)
  set(TQ_DRIVER_ENTRY DriverEntry)
  set(TQ_DRIVER_IMAGE_BASE 0x140000000)
  set(TQ_DRIVER_MACHINE x64)
else()
  set(TQ_DRIVER_ENTRY _DriverEntry@8)
  set(TQ_DRIVER_IMAGE_BASE 0x10000)
  set(TQ_DRIVER_MACHINE x86)
endif()

add_custom_command(
  OUTPUT ${TQ_DRIVER_SYS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_CXX_COMPILER}
          -shared -nostdlib
          -Wl,--subsystem,native
          -Wl,--entry,${TQ_DRIVER_ENTRY}
          -Wl,--exclude-all-symbols
          -Wl,--image-base,${TQ_DRIVER_IMAGE_BASE}
          -o ${TQ_DRIVER_SYS}
          $<TARGET_OBJECTS:${TQ_DRIVER_OBJECT_LIBRARY}>
          -lntoskrnl -lhal -lgcc
  COMMAND sh ${TQ_DRIVER_IMPORT_CHECK} ${TQ_DRIVER_OBJDUMP} ${TQ_DRIVER_SYS} ${TQ_DRIVER_MACHINE}
  DEPENDS ${TQ_DRIVER_OBJECT_LIBRARY} $<TARGET_OBJECTS:${TQ_DRIVER_OBJECT_LIBRARY}>
          ${TQ_DRIVER_IMPORT_CHECK}
  COMMAND_EXPAND_LISTS
  VERBATIM
  COMMENT "Linking kernel driver Tq4815x.sys and checking its imports")
add_custom_target(Tq4815x_sys ALL DEPENDS ${TQ_DRIVER_SYS})

# The same check as a test, for a build tree where testing is enabled.
add_test(NAME driver_sys_imports
         COMMAND sh ${TQ_DRIVER_IMPORT_CHECK} ${TQ_DRIVER_OBJDUMP} ${TQ_DRIVER_SYS} ${TQ_DRIVER_MACHINE})
