include(${CMAKE_CURRENT_LIST_DIR}/HeaderExports.cmake)

# The public header is the one list of exports: the linker's version script is
# written from its declarations, so nothing else can be exported by mistake.
function(ks318_write_export_map header output)
  ks318_header_export_names("${header}" names)
  set(body "/* Written from include/ks318.h at configure time. */\n{\n  global:\n")
  foreach(name IN LISTS names)
    string(APPEND body "    ${name};\n")
  endforeach()
  string(APPEND body "  local:\n    *;\n};\n")
  file(WRITE "${output}" "${body}")
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
endfunction()

# After every link of the Windows library, its export table must list exactly
# the header's names, undecorated.
function(ks318_check_dll_exports target header)
  find_program(KS318_OBJDUMP NAMES i686-w64-mingw32-objdump ${CMAKE_OBJDUMP} REQUIRED)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${KS318_OBJDUMP} -DLIBRARY=$<TARGET_FILE:${target}> -DHEADER=${header}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckDllExports.cmake
    VERBATIM)
endfunction()

# The header's export names as a C++ initializer list, for tests that look each
# one up in the built library.
function(ks318_write_export_names header output)
  ks318_header_export_names("${header}" names)
  set(body "// Written from include/ks318.h at configure time.\n")
  foreach(name IN LISTS names)
    string(APPEND body "\"${name}\",\n")
  endforeach()
  file(WRITE "${output}" "${body}")
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
endfunction()
