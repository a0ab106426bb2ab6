# The throwaway PostgreSQL server of the server-store tests and benchmarks
# (Linux): a library, and the program that starts and stops the one server a
# test run shares.
if(NOT TARGET tessarin_pg_test_server)
  if(NOT TARGET tessarin_test_support)
    include(${CMAKE_CURRENT_LIST_DIR}/support.cmake)
  endif()
  add_library(tessarin_pg_test_server STATIC
    ${CMAKE_CURRENT_LIST_DIR}/pg_test_server.h
    ${CMAKE_CURRENT_LIST_DIR}/linux/pg_test_server.cpp)
  target_link_libraries(tessarin_pg_test_server PUBLIC tessarin_test_support PRIVATE tessarin_store)
endif()
