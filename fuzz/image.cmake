# libFuzzer targets for the image field parser and the last-file memory reader.
set(TESSARIN_IMAGE_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
target_compile_options(tessarin_image PRIVATE ${TESSARIN_IMAGE_FUZZ_FLAGS})
target_compile_options(tessarin_fileio PRIVATE ${TESSARIN_IMAGE_FUZZ_FLAGS})

foreach(name image_fields memory_file)
  add_executable(fuzz_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}_fuzz.cpp)
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined
                                              -fno-omit-frame-pointer)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_${name} PRIVATE tessarin_image)
endforeach()
