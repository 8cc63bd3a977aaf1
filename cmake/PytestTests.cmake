# Test suites written with pytest, run by ctest with Debian's python3 (the one
# python3-pytest installs into). Not under a sanitizer: its runtime cannot be
# loaded into the interpreter. When python3 or pytest is missing the test is
# still added, and fails saying why, so a missing package never passes unseen.
#
#   ks318_add_pytest(NAME name PATHS file-or-folder... ENVIRONMENT "VAR=value;...")
function(ks318_add_pytest)
  cmake_parse_arguments(PYTEST "" "NAME" "PATHS;ENVIRONMENT" ${ARGN})
  if(KS318_SANITIZE)
    return()
  endif()
  find_program(KS318_PYTHON3 NAMES python3 HINTS /usr/bin NO_DEFAULT_PATH)
  find_program(KS318_PYTHON3 NAMES python3)
  set(problem "")
  if(NOT KS318_PYTHON3)
    set(problem "no python3 interpreter found")
  else()
    execute_process(COMMAND ${KS318_PYTHON3} -c "import pytest" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing)
      set(problem "pytest is missing for ${KS318_PYTHON3} (apt-get install python3-pytest)")
    endif()
  endif()

  if(problem STREQUAL "")
    add_test(NAME ${PYTEST_NAME} COMMAND ${KS318_PYTHON3} -m pytest -q -p no:cacheprovider ${PYTEST_PATHS})
    set_tests_properties(${PYTEST_NAME} PROPERTIES TIMEOUT 600
      ENVIRONMENT "${PYTEST_ENVIRONMENT};PYTHONDONTWRITEBYTECODE=1")
  else()
    message(WARNING "${PYTEST_NAME} will fail: ${problem}")
    add_test(NAME ${PYTEST_NAME} COMMAND ${CMAKE_COMMAND} -E echo "${PYTEST_NAME} cannot run: ${problem}")
    set_tests_properties(${PYTEST_NAME} PROPERTIES FAIL_REGULAR_EXPRESSION "cannot run")
  endif()
endfunction()
