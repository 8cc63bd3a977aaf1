// The shared library exports exactly the functions the public header declares.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> declaredInHeader() {
    std::ifstream header(KS318_HEADER);
    std::stringstream text;
    text << header.rdbuf();
    std::string source = text.str();
    std::set<std::string> names;
    std::regex declaration(R"(KQ_CALL\s+(\w+)\s*\()");
    for (std::sregex_iterator it(source.begin(), source.end(), declaration), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

std::set<std::string> exportedByLibrary() {
    std::set<std::string> names;
    std::string command = std::string("nm -D --defined-only ") + KS318_LIBRARY;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    pclose(pipe);
    return names;
}

TEST(ExportSet, LibraryExportsExactlyTheHeadersFunctions) {
    std::set<std::string> declared = declaredInHeader();
    ASSERT_GE(declared.size(), 17u);
    std::set<std::string> exported = exportedByLibrary();
    ASSERT_FALSE(exported.empty()) << "nm gave nothing for " << KS318_LIBRARY;
    for (const std::string &name : declared) EXPECT_TRUE(exported.count(name)) << name << " is not exported";
    for (const std::string &name : exported) EXPECT_TRUE(declared.count(name)) << name << " is exported but not declared";
}

std::set<std::string> listedInDefinition() {
    std::ifstream definition(KS318_DEFINITION);
    std::set<std::string> names;
    std::string line;
    bool inExports = false;
    while (std::getline(definition, line)) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == ';') continue;
        if (word == "EXPORTS") {
            inExports = true;
        } else if (inExports) {
            names.insert(word);
        }
    }
    return names;
}

TEST(ExportSet, WindowsDefinitionListsTheSameNames) {
    std::set<std::string> listed = listedInDefinition();
    ASSERT_FALSE(listed.empty()) << "no names read from " << KS318_DEFINITION;
    EXPECT_EQ(listed, declaredInHeader());
}

TEST(ExportSet, EveryDeclaredNameResolvesThroughTheLoader) {
    void *library = dlopen(KS318_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const std::string &name : declaredInHeader()) EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
    using Version = unsigned char (*)();
    auto version = reinterpret_cast<Version>(dlsym(library, "kq_version"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 32);
    dlclose(library);
}

}  // namespace
