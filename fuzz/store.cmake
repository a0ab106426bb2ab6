# A libFuzzer target for the masking of passwords in a server store's
# location, with libpq (Debian's libpq-dev) reading the locations as the
# server store's connection does. The location's sources are compiled here
# once more with coverage instrumentation, so that tessarin_store stays plain.
find_package(PostgreSQL QUIET)
if(NOT PostgreSQL_FOUND)
  message(STATUS "fuzz: libpq not found; fuzz_store_location left out")
  return()
endif()
set(TESSARIN_STORE_SRC ${PROJECT_SOURCE_DIR}/src/store)
add_library(tessarin_store_location_fuzz OBJECT
  ${TESSARIN_STORE_SRC}/pg_connection.cpp
  ${TESSARIN_STORE_SRC}/store_location.cpp
)
target_include_directories(tessarin_store_location_fuzz PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_features(tessarin_store_location_fuzz PUBLIC cxx_std_20)
target_compile_options(tessarin_store_location_fuzz PUBLIC
  -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_link_libraries(tessarin_store_location_fuzz PUBLIC PostgreSQL::PostgreSQL)

add_executable(fuzz_store_location ${CMAKE_CURRENT_LIST_DIR}/store_location_fuzz.cpp)
target_link_libraries(fuzz_store_location PRIVATE tessarin_store_location_fuzz)
target_link_options(fuzz_store_location PRIVATE -fsanitize=fuzzer,address,undefined)
