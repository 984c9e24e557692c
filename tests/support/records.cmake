# The record builders and the sample database, shared by the tests and the
# fuzz seed writer (the fuzz build has no tests/ folder, so it includes this).
if(NOT TARGET veltor_test_records)
  add_library(veltor_test_records STATIC ${CMAKE_CURRENT_LIST_DIR}/records.cpp)
  target_include_directories(veltor_test_records PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(veltor_test_records PUBLIC veltor_dbwriter veltor_bytecode PRIVATE veltor_warnings)
endif()
