# libFuzzer targets for the image field parser (with the Burn rule built on it) and the
# last-file memory reader.
tessarin_fuzz_target(fuzz_image_fields ${CMAKE_CURRENT_LIST_DIR}/image_fields_fuzz.cpp
  tessarin_ui)
tessarin_fuzz_target(fuzz_memory_file ${CMAKE_CURRENT_LIST_DIR}/memory_file_fuzz.cpp
  tessarin_image)
