# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian g++-mingw-w64-x86-64).
# The -posix compilers carry std::thread and std::mutex, which GoogleTest
# needs; the win32-threads variant lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Look for libraries, headers and packages only in the MinGW sysroot, never
# on the host (the host's libgtest.a would otherwise be picked up); programs
# are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the C and C++ runtimes and winpthreads statically, so that the DLL and
# the test programs need no MinGW DLL beside them (with -posix, only -static
# keeps libwinpthread-1.dll out).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine (CTest and gtest_discover_tests go through it).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
