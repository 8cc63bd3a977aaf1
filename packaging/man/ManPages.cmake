# A man page for each program, made by help2man from its --help (so it lists
# the options the program has) with the words of packaging/man/<program>.h2m
# added, and installed gzip -9n as Debian's are.
find_program(KS318_HELP2MAN help2man)
if(NOT KS318_HELP2MAN)
  message(WARNING "help2man not found (scripts/setup.sh installs it): the programs are installed without man pages")
  return()
endif()
set(KS318_MAN_PAGES)
foreach(program ks318-term ks318-console ks318-web ks318-bridge)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/${program}.1)
  set(include ${CMAKE_CURRENT_LIST_DIR}/${program}.h2m)
  # Run by its bare name, so that its usage line names the program alone.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env PATH=$<TARGET_FILE_DIR:${program}>:$ENV{PATH}
            ${KS318_HELP2MAN} --no-info --no-discard-stderr --section=1 --version-string=${PROJECT_VERSION}
            --source=KS318 --manual=KS318 --include=${include} --output=${page} ${program}
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${include}
    COMMENT "Man page of ${program}" VERBATIM)
  list(APPEND KS318_MAN_PAGES ${page}.gz)
endforeach()
add_custom_target(ks318_man_pages ALL DEPENDS ${KS318_MAN_PAGES})
install(FILES ${KS318_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ks318-tools)
