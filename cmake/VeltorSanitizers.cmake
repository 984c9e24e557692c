# VELTOR_SANITIZE applies to everything built in this tree, so that the
# engine, the tests and the tools share one runtime.
if(VELTOR_SANITIZE)
  string(REPLACE "," ";" _veltor_sanitizers "${VELTOR_SANITIZE}")
  add_compile_options(-fsanitize=${VELTOR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELTOR_SANITIZE})
  if("thread" IN_LIST _veltor_sanitizers)
    add_compile_definitions(VELTOR_TSAN=1)
  endif()
  if("address" IN_LIST _veltor_sanitizers)
    add_compile_definitions(VELTOR_ASAN=1)
  endif()
endif()
