# Header-only libraries for a cross build, taken from the build machine.
# The host's include directory cannot serve a cross compiler as such: its C
# library headers would shadow the target's. Each library's headers are
# reached instead through a directory that holds only a link to them.
function(tessarin_host_header_only target header_dir)
  if(TARGET ${target})
    return()
  endif()
  set(host_include /usr/include)
  if(NOT EXISTS ${host_include}/${header_dir})
    message(FATAL_ERROR "Cross build: ${host_include}/${header_dir} is missing; "
                        "install the library's Debian -dev package (scripts/deps.sh).")
  endif()
  set(staging ${CMAKE_BINARY_DIR}/_host_headers/${header_dir})
  file(MAKE_DIRECTORY ${staging})
  if(NOT EXISTS ${staging}/${header_dir})
    file(CREATE_LINK ${host_include}/${header_dir} ${staging}/${header_dir} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staging})
endfunction()
