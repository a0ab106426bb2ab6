# What every test binary may build on besides the code under test: the OS
# helpers of the tests (starting programs, FIFOs, the time zone) and the
# shared fixtures and builders of tests/support/ (headers).
if(WIN32)
  set(TESSARIN_TEST_OS_DIR windows)
else()
  set(TESSARIN_TEST_OS_DIR linux)
endif()
add_library(tessarin_test_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/test_os.h
  ${CMAKE_CURRENT_LIST_DIR}/${TESSARIN_TEST_OS_DIR}/test_os.cpp
)
target_include_directories(tessarin_test_support PUBLIC
  ${CMAKE_CURRENT_LIST_DIR}/.. ${PROJECT_SOURCE_DIR}/src)
target_compile_features(tessarin_test_support PUBLIC cxx_std_20)
if(WIN32)
  target_compile_definitions(tessarin_test_support PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN
    _WIN32_WINNT=0x0601)
endif()
if(WIN32 AND TARGET tessarin_platform)
  # DeliverStopEvent calls the platform's console handler.
  target_link_libraries(tessarin_test_support PRIVATE tessarin_platform)
endif()

# Under Wine, started by .ci/windows before the tests: Wine's service and
# desktop processes then belong to it, not to a test (see wine_session.cpp).
if(WIN32)
  add_executable(wine_session ${CMAKE_CURRENT_LIST_DIR}/windows/wine_session.cpp)
  target_link_libraries(wine_session PRIVATE user32)
endif()
