# CLI11 for cross builds: the build machine's headers (see host_header_only.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/../host_header_only.cmake)
tessarin_host_header_only(CLI11::CLI11 CLI)
