#include "tools/common/number_file.h"

#include <filesystem>
#include <fstream>

namespace ks318::tools {

bool writeNumberFile(const std::string &path, int number) {
    const std::string aside = path + ".part";
    {
        std::ofstream out(aside, std::ios::trunc);
        out << number << '\n';
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(aside, path, error);
    return !error;
}

}  // namespace ks318::tools
