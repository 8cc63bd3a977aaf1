# Writes OUTPUT, a C++ file holding every file given in FILES (joined by '|') as a
# byte array, and findPageAsset over them. Run at build time by tools/web.
# Without an index.html a short page saying so is built in instead.
string(REPLACE "|" ";" FILES "${FILES}")
set(body "")
set(table "")
set(count 0)
set(has_index FALSE)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  if(name STREQUAL "index.html")
    set(has_index TRUE)
  endif()
  get_filename_component(extension ${file} LAST_EXT)
  string(TOLOWER "${extension}" extension)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(extension STREQUAL ".png")
    set(type "image/png")
  elseif(extension STREQUAL ".ico")
    set(type "image/x-icon")
  else()
    set(type "application/octet-stream")
  endif()
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char asset${count}[] = {${bytes} 0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", asset${count}, ${size}},\n")
  math(EXPR count "${count} + 1")
endforeach()
if(NOT has_index)
  set(fallback "<!doctype html><meta charset=utf-8><title>ks318-web</title><p>The dashboard page was not built into this program; the API is at /api/.")
  string(LENGTH "${fallback}" size)
  string(APPEND body "const char fallbackIndex[] = \"${fallback}\";\n")
  string(APPEND table "    {\"index.html\", \"text/html; charset=utf-8\", reinterpret_cast<const unsigned char *>(fallbackIndex), ${size}},\n")
endif()
file(WRITE ${OUTPUT}.part "// Written by tools/web/embed_page.cmake from tools/web/page/: do not edit.
#include \"tools/web/page_assets.h\"

namespace ks318::web {
namespace {
${body}
const PageAsset assets[] = {
${table}};
}  // namespace

const PageAsset *findPageAsset(std::string_view name) {
    for (const PageAsset &asset : assets)
        if (asset.name == name) return &asset;
    return nullptr;
}

}  // namespace ks318::web
")
file(RENAME ${OUTPUT}.part ${OUTPUT})
