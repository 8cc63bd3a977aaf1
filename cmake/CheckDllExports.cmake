# Compares the export table of a DLL (objdump -p) with the declarations of the
# public header. Fails, listing the differences, unless they are the same names.
# Usage: cmake -DOBJDUMP=... -DLIBRARY=KS318.dll -DHEADER=ks318.h -P CheckDllExports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/HeaderExports.cmake)
ks318_header_export_names("${HEADER}" declared)

execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}" OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} could not read ${LIBRARY}")
endif()
# The name table: lines "\t[  12] kq_sendlive" after "[Ordinal/Name Pointer] Table".
string(FIND "${table}" "[Ordinal/Name Pointer] Table" start)
if(start LESS 0)
  message(FATAL_ERROR "${LIBRARY} exports nothing")
endif()
string(SUBSTRING "${table}" ${start} -1 table)
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(exported "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "\n\t\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND exported "${name}")
endforeach()

list(LENGTH declared declaredCount)
list(LENGTH exported exportedCount)
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
list(REMOVE_DUPLICATES declared)
list(LENGTH declared distinctCount)
if(missing OR extra OR NOT declaredCount EQUAL exportedCount OR NOT distinctCount EQUAL declaredCount)
  message(FATAL_ERROR "Export table of ${LIBRARY} differs from ${HEADER}:\n"
                      "  declared ${declaredCount}, exported ${exportedCount}\n"
                      "  not exported: ${missing}\n  not declared: ${extra}")
endif()
message(STATUS "${LIBRARY}: ${exportedCount} exports, the header's names, undecorated")
