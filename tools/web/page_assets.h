// The dashboard's page files (tools/web/page/*), built into the program.
#pragma once

#include <cstddef>
#include <string_view>

namespace ks318::web {

struct PageAsset {
    std::string_view name;  // the file's name: "index.html", "app.js" ...
    std::string_view type;  // its Content-Type
    const unsigned char *bytes;
    std::size_t size;
};

// The asset of that name, or null.
const PageAsset *findPageAsset(std::string_view name);

}  // namespace ks318::web
