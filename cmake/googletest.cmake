# GoogleTest for a cross build: Debian ships its libraries for the build
# machine only, so build them here from Debian's sources (googletest
# package, /usr/src/googletest) with the cross compiler. Defines the same
# GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main targets
# as find_package(GTest).
set(TESSARIN_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources built for cross builds")
if(NOT EXISTS ${TESSARIN_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "Cross build: no GoogleTest sources in ${TESSARIN_GOOGLETEST_SOURCE_DIR}. "
                      "Install Debian's googletest package or set TESSARIN_GOOGLETEST_SOURCE_DIR.")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${TESSARIN_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
# The sources' own warnings are not ours.
foreach(target gtest gtest_main gmock gmock_main)
  if(TARGET ${target})
    target_compile_options(${target} PRIVATE -w)
    if(NOT TARGET GTest::${target})
      add_library(GTest::${target} ALIAS ${target})
    endif()
  endif()
endforeach()
