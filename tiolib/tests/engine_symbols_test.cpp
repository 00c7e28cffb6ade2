// The engine's interface is the list of the linker's version script: the built engine
// exports every name of it as a function and nothing else, resolves each through the
// dynamic loader, and the public header declares each.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <dlfcn.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string read_text(const char *path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The names the linker's version script exports: its global: section, comments dropped.
std::set<std::string> exported_names() {
    std::string script = read_text(TIO_EXPORTS_MAP);
    for (size_t open = script.find("/*"); open != std::string::npos; open = script.find("/*", open)) {
        const size_t close = script.find("*/", open + 2);
        script.erase(open, close == std::string::npos ? std::string::npos : close + 2 - open);
    }
    const size_t global = script.find("global:"), local = script.find("local:");
    std::set<std::string> names;
    if (global == std::string::npos || local == std::string::npos || local < global) return names;
    std::stringstream section(script.substr(global + 7, local - global - 7));
    std::string name;
    while (std::getline(section, name, ';')) {
        name.erase(std::remove_if(name.begin(), name.end(), [](unsigned char c) { return std::isspace(c); }),
                   name.end());
        if (!name.empty()) names.insert(name);
    }
    return names;
}

const std::set<std::string> kInterface = exported_names();

TEST(Exports, TheVersionScriptNamesTheInterface) {
    EXPECT_GE(kInterface.size(), 70u) << TIO_EXPORTS_MAP;
    for (const char *name : {"tio_open", "tio_write", "tio_close", "getRandom", "perform_read_disk"})
        EXPECT_EQ(kInterface.count(name), 1u) << name;
}

// The project's one export checker, given the built engine and the version script: every
// name a defined function, nothing else exported beyond what the toolchain adds.
TEST(Exports, EveryInterfaceFunctionAndNothingElse) {
    const std::string command = std::string("'") + TIO_CHECK_EXPORTS + "' '" + TIO_ENGINE_SO +
                                "' --version-script '" + TIO_EXPORTS_MAP + "'";
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr) << "popen failed";
    std::string report;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) report += line;
    EXPECT_EQ(pclose(pipe), 0) << report;
    EXPECT_NE(report.find("(" + std::to_string(kInterface.size()) + " names)"), std::string::npos) << report;
}

TEST(Exports, ResolveAndRunThroughTheDynamicLoader) {
    void *library = dlopen(TIO_ENGINE_SO, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const std::string &name : kInterface) EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
    using Quotient = int32_t (*)(int32_t, int32_t);
    auto ceil_of = reinterpret_cast<Quotient>(dlsym(library, "ceil_int"));
    if (ceil_of) {
        EXPECT_EQ(ceil_of(10, 4), 3);
    }
    dlclose(library);
}

// True when the source names the function as a whole word followed by "(".
bool declares(const std::string &source, const std::string &name) {
    auto is_word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (size_t at = source.find(name); at != std::string::npos; at = source.find(name, at + 1)) {
        if (at > 0 && is_word(source[at - 1])) continue;
        size_t next = at + name.size();
        while (next < source.size() && std::isspace(static_cast<unsigned char>(source[next]))) ++next;
        if (next < source.size() && source[next] == '(') return true;
    }
    return false;
}

// The one public header declares every function of the interface.
TEST(Exports, PublicHeaderDeclaresEveryFunction) {
    const std::string source = read_text(TIO_PUBLIC_HEADER);
    ASSERT_FALSE(source.empty()) << TIO_PUBLIC_HEADER;
    for (const std::string &name : kInterface) EXPECT_TRUE(declares(source, name)) << name;
}

// The names of the functions the header marks TIO_API: the word before the "(" of each.
std::set<std::string> header_exports(const std::string &source) {
    std::set<std::string> names;
    const std::string marker = "TIO_API ";
    for (size_t at = source.find(marker); at != std::string::npos; at = source.find(marker, at + 1)) {
        if (at >= 8 && source.compare(at - 8, 8, "#define ") == 0) continue;  // the marker's own definition
        const size_t paren = source.find('(', at);
        if (paren == std::string::npos) break;
        size_t begin = paren;
        while (begin > at && (std::isalnum(static_cast<unsigned char>(source[begin - 1])) || source[begin - 1] == '_'))
            --begin;
        if (begin < paren) names.insert(source.substr(begin, paren - begin));
    }
    return names;
}

// Every function the header marks for export is in the list: one left out would be
// hidden by the version script.
TEST(Exports, EveryFunctionTheHeaderExportsIsListed) {
    const std::set<std::string> declared = header_exports(read_text(TIO_PUBLIC_HEADER));
    EXPECT_GE(declared.size(), 70u);
    for (const std::string &name : declared) EXPECT_EQ(kInterface.count(name), 1u) << name;
}

}  // namespace
