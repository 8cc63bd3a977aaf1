# The public header compiles clean as every C and C++ a host may use, with gcc
# and clang at their strictest warnings: a host's build never has to loosen
# its flags for it. Run as a test:
#   cmake -DHEADER_DIR=include -DWORK_DIR=dir -P CheckHeaderStandards.cmake
set(c_source "${WORK_DIR}/header_check.c")
set(cxx_source "${WORK_DIR}/header_check.cpp")
# Every declaration used, so no compiler skips the header's inline parts.
file(WRITE ${c_source} "#include \"ks318.h\"\nint main(void) { return kq_getserverport() == 0 ? 0 : 1; }\n")
file(WRITE ${cxx_source} "#include \"ks318.h\"\nint main() { return kq_getserverport() == 0 ? 0 : 1; }\n")

set(strict -Wall -Wextra -pedantic -Werror)
# clang's -Weverything, less its notes that C++98 code is not C++11 and the like.
set(clang_strict ${strict} -Weverything -Wno-c++98-compat -Wno-c++98-compat-pedantic -Wno-poison-system-directories)

set(failures "")
foreach(compiler gcc g++ clang clang++)
  find_program(path_${compiler} ${compiler})
  if(NOT path_${compiler})
    list(APPEND failures "${compiler}: not found")
    continue()
  endif()
  if(compiler MATCHES "\\+\\+$")
    set(standards c++98 c++11 c++17 c++20)
    set(source ${cxx_source})
  else()
    set(standards c89 c99 c11 c17)
    set(source ${c_source})
  endif()
  set(flags ${strict})
  if(compiler MATCHES "^clang")
    set(flags ${clang_strict})
  endif()
  foreach(standard ${standards})
    execute_process(COMMAND ${path_${compiler}} -std=${standard} ${flags} -I${HEADER_DIR} -fsyntax-only ${source}
      RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
    if(result)
      list(APPEND failures "${compiler} -std=${standard}:\n${errors}")
    else()
      message(STATUS "${compiler} -std=${standard}: clean")
    endif()
  endforeach()
endforeach()
# The typed records: the right record compiles, a wrong one does not (C++; C with
# incompatible pointer types made an error).
foreach(record KqConfigRecord KqWifiRecord)
  file(WRITE "${WORK_DIR}/typed_${record}.cpp"
    "#include \"ks318.h\"\nint main() { ${record} r; return kq_getconfigrecord(1, &r); }\n")
  file(WRITE "${WORK_DIR}/typed_${record}.c"
    "#include \"ks318.h\"\nint main(void) { ${record} r; return kq_getconfigrecord(1, &r); }\n")
  foreach(source typed_${record}.cpp typed_${record}.c)
    set(compiler ${path_g++})
    if(source MATCHES "\\.c$")
      set(compiler ${path_gcc})
    endif()
    execute_process(COMMAND ${compiler} -Werror=incompatible-pointer-types -I${HEADER_DIR} -fsyntax-only
      "${WORK_DIR}/${source}" RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(record STREQUAL KqConfigRecord AND result)
      list(APPEND failures "${source}: the right record does not compile")
    elseif(record STREQUAL KqWifiRecord AND NOT result)
      list(APPEND failures "${source}: a wifi record compiles as a configuration record")
    endif()
  endforeach()
endforeach()

if(failures)
  string(REPLACE ";" "\n" failures "${failures}")
  message(FATAL_ERROR "ks318.h does not compile clean:\n${failures}")
endif()
