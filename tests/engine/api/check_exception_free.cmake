# Checks that the shared library cannot throw: it imports nothing that
# raises a C++ exception or allocates with operator new (which throws, and
# whose nothrow form throws and catches inside the runtime). A throw needs
# the thread's exception state, which a C host's runtime may fail to
# allocate under a memory limit, ending the process. Catching stays allowed:
# the exports catch what a host's callback throws.
# Usage: cmake -DLIBRARY=path -DTOOL=nm -P check_exception_free.cmake
execute_process(COMMAND ${TOOL} -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^ *[A-Za-z] +" "" name "${line}")
  string(REGEX REPLACE "@.*" "" name "${name}")
  # __cxa_throw and friends, std::__throw_* (what the standard containers
  # call), operator new and new[] in every form, std::uncaught_exceptions.
  if(name MATCHES "^(__cxa_throw|__cxa_rethrow|__cxa_allocate_exception|_ZSt[0-9]+__throw_.*|_Zn[wa].*|_ZSt19uncaught_exceptionsv)$")
    list(APPEND found ${name})
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "${LIBRARY} imports what can throw:\n  ${found}")
endif()
message(STATUS "${LIBRARY} imports nothing that throws")
