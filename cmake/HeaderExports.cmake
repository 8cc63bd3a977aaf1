# The names the public header declares as exports (every `KQ_CALL name(`), in
# header order. Usable from a configure step and from a `cmake -P` script.
function(ks318_header_export_names header result)
  file(READ "${header}" text)
  string(REGEX MATCHALL "KQ_CALL[ \t\r\n]+[A-Za-z_0-9]+[ \t]*\\(" declarations "${text}")
  set(names "")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE "KQ_CALL[ \t\r\n]+([A-Za-z_0-9]+).*" "\\1" name "${declaration}")
    list(APPEND names "${name}")
  endforeach()
  set(${result} "${names}" PARENT_SCOPE)
endfunction()
