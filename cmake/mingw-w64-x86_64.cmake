# Cross-compiling for 64-bit Windows with MinGW-w64 on Debian
# (g++-mingw-w64-x86-64). The "-posix" compilers are the ones whose C++
# library has std::thread and std::mutex. Programs link their runtime
# statically, so they run under Wine or on Windows without MinGW DLLs, and
# ctest runs them through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARIN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARIN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSARIN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Wine runs the test programs; WINEPREFIX and WINEDEBUG come from the
# environment (.ci/windows sets them and keeps one wineserver alive).
find_program(TESSARIN_WINE NAMES wine wine64)
if(TESSARIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSARIN_WINE})
endif()

# SQLite, built from Debian's source package by scripts/windows-sqlite.sh (a
# static library; Debian has no MinGW build of it). Where it is there,
# FindSQLite3 takes it; a -DSQLite3_INCLUDE_DIR / -DSQLite3_LIBRARY given on
# the command line wins.
set(TESSARIN_WINDOWS_SQLITE_DIR ${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/sqlite3)
if(NOT SQLite3_INCLUDE_DIR AND NOT SQLite3_LIBRARY
   AND EXISTS ${TESSARIN_WINDOWS_SQLITE_DIR}/include/sqlite3.h
   AND EXISTS ${TESSARIN_WINDOWS_SQLITE_DIR}/lib/libsqlite3.a)
  set(SQLite3_INCLUDE_DIR ${TESSARIN_WINDOWS_SQLITE_DIR}/include)
  set(SQLite3_LIBRARY ${TESSARIN_WINDOWS_SQLITE_DIR}/lib/libsqlite3.a)
endif()

# Google Benchmark, built from Debian's source package by
# scripts/windows-benchmark.sh, for -DTESSARIN_BUILD_BENCH=ON.
set(TESSARIN_WINDOWS_BENCHMARK_DIR ${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/benchmark)
if(EXISTS ${TESSARIN_WINDOWS_BENCHMARK_DIR}/lib/cmake/benchmark/benchmarkConfig.cmake)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TESSARIN_WINDOWS_BENCHMARK_DIR})
endif()

# Header-only libraries come from the build machine (cmake/cross/).
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/nlohmann_json CACHE PATH
    "nlohmann/json for the cross build")
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/cross/CLI11 CACHE PATH "CLI11 for the cross build")
