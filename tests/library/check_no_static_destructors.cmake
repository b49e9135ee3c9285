# Fails when one of LIBRARIES (a ;-separated list) registers a destructor for a static
# object (it imports __cxa_atexit). The stand-in, the card model and the library must keep
# every global either trivially destructible or never destroyed: a program that exits with
# the library still loaded runs the library's unload hook after the exit handlers, which
# would already have destroyed such objects.
#   cmake -DTOOL=nm -DLIBRARIES=a.so;b.so -P check_no_static_destructors.cmake
foreach(library IN LISTS LIBRARIES)
  execute_process(COMMAND ${TOOL} -D --undefined-only ${library}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${library}")
  endif()
  if(symbols MATCHES "__cxa_atexit")
    message(FATAL_ERROR "${library} destroys a static object at exit (it imports __cxa_atexit)")
  endif()
endforeach()
