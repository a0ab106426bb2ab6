# libFuzzer targets for the image field parser and the last-file memory reader.
# The image sources are compiled here once more with coverage instrumentation, so that the
# shared tessarin_image library (linked by the programs in this build too) stays plain.
set(TESSARIN_IMAGE_SRC ${PROJECT_SOURCE_DIR}/src/image)
add_library(tessarin_image_fuzz OBJECT
  ${TESSARIN_IMAGE_SRC}/compat_state.cpp
  ${TESSARIN_IMAGE_SRC}/file_time.cpp
  ${TESSARIN_IMAGE_SRC}/image_file.cpp
  ${TESSARIN_IMAGE_SRC}/last_file_memory.cpp
  ${TESSARIN_IMAGE_SRC}/rom_image.cpp
  ${TESSARIN_IMAGE_SRC}/utf16.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/linux/file_io.cpp
)
target_include_directories(tessarin_image_fuzz PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(tessarin_image_fuzz PUBLIC
  -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

foreach(name image_fields memory_file)
  add_executable(fuzz_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}_fuzz.cpp)
  target_link_libraries(fuzz_${name} PRIVATE tessarin_image_fuzz)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()
