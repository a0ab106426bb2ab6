# Parts of the platform layer shared by every backend: the frame trace
# decorator. Included by src/platform/CMakeLists.txt.
target_sources(tessarin_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/trace_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_backend.h
)
