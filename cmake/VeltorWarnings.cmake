# Warnings as errors for our own code only; third-party code (GoogleTest
# built from source for Windows) does not link this target.
add_library(veltor_warnings INTERFACE)
target_compile_options(veltor_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Wnull-dereference -Wdouble-promotion)
# Tests keep warnings as errors but may mix signed and unsigned freely in
# assertions and table literals.
add_library(veltor_test_warnings INTERFACE)
target_compile_options(veltor_test_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror -Wshadow)
