# The comparison's programs end to end: the set written and rendered, a
# rendering compared with itself (every file agrees, a contact sheet is drawn),
# and with one image swapped for another file's (that file, and only it, fails).
# cmake -DRENDER=... -DCOMPARE=... -DWORK=... -P metafile_tools_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

execute_process(COMMAND ${RENDER} --write-set ${WORK}/set OUTPUT_VARIABLE listed RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "--write-set: status ${status}")
endif()
string(REGEX MATCHALL "[^\n]+" names "${listed}")
list(LENGTH names count)
if(count LESS 30)
  message(FATAL_ERROR "--write-set listed ${count} files")
endif()
set(files)
foreach(name IN LISTS names)
  if(NOT EXISTS ${WORK}/set/${name})
    message(FATAL_ERROR "${name} listed but not written")
  endif()
  list(APPEND files ${WORK}/set/${name})
endforeach()

execute_process(COMMAND ${RENDER} ${WORK}/a ${files} ${WORK}/set/missing.wmf
  OUTPUT_VARIABLE rendered RESULT_VARIABLE status)
if(NOT status EQUAL 1 OR NOT rendered MATCHES "refused missing.wmf")
  message(FATAL_ERROR "a missing file must be refused (status ${status}):\n${rendered}")
endif()
foreach(name IN LISTS names)
  if(NOT EXISTS ${WORK}/a/${name}.ppm)
    message(FATAL_ERROR "no image for ${name}:\n${rendered}")
  endif()
endforeach()

execute_process(COMMAND ${COMPARE} --sheet ${WORK}/sheet.png ${WORK}/a ${WORK}/a ${names}
  OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT table MATCHES "${count} of ${count} files agree")
  message(FATAL_ERROR "a rendering against itself (status ${status}):\n${table}")
endif()
file(SIZE ${WORK}/sheet.png sheet)
if(sheet LESS 10000)
  message(FATAL_ERROR "contact sheet of ${sheet} bytes")
endif()

file(COPY ${WORK}/a/ DESTINATION ${WORK}/b)
file(COPY_FILE ${WORK}/a/emf-mapping.emf.ppm ${WORK}/b/wmf-pens.wmf.ppm)
execute_process(COMMAND ${COMPARE} ${WORK}/a ${WORK}/b ${names} OUTPUT_VARIABLE table RESULT_VARIABLE status)
math(EXPR agreeing "${count} - 1")
if(NOT status EQUAL 1 OR NOT table MATCHES "wmf-pens.wmf +[0-9.]+ %  FAIL"
   OR NOT table MATCHES "${agreeing} of ${count} files agree")
  message(FATAL_ERROR "one swapped image must fail alone (status ${status}):\n${table}")
endif()
execute_process(COMMAND ${COMPARE} ${WORK}/a ${WORK}/missing ${names} OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 1 OR NOT table MATCHES "0 of ${count} files agree" OR NOT table MATCHES "refused on Windows")
  message(FATAL_ERROR "images missing on one side must fail (status ${status}):\n${table}")
endif()
file(REMOVE_RECURSE ${WORK})
