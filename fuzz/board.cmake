# The board's access rules (routes, the Host check, the token) under
# libFuzzer, AddressSanitizer and UBSan. Built from their source alone: they
# need neither the HTTP library nor the station.
add_executable(fuzz_board_request
  ${CMAKE_CURRENT_LIST_DIR}/board_request_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/board/board_access.cpp)
target_include_directories(fuzz_board_request PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_features(fuzz_board_request PRIVATE cxx_std_20)
target_compile_options(fuzz_board_request PRIVATE
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_link_options(fuzz_board_request PRIVATE -fsanitize=fuzzer,address,undefined)
