// The built engine exports every function of its interface under its plain name, and
// nothing else: internal helpers stay hidden.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <dlfcn.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kInterface = {
    // handle, records and lifecycle
    "tio_open", "tio_set_dir", "tio_init", "tio_close", "tio_malloc", "tio_free",
    // configuration and device table
    "tio_set_config", "open_fs_props", "read_config", "setConfField", "parseNum", "parse_dm_full",
    "close_fs_props", "getDeviceProps", "getDeviceSize", "getStripeSize", "getAdjustedSize",
    "getRelativeSize",
    // pipeline
    "perform_read_buff", "perform_read_disk", "perform_write_disk", "perform_write_buff", "write_disk",
    "read_disk", "read_buff", "write_buff", "launch_write_threads", "tio_wait_threads",
    "tio_join_threads", "join_unlock", "__nsleep", "nsleep", "msleep",
    // striped transfers
    "tio_write", "tio_read", "tio_launch_read_threads", "mapReads", "tio_next_chunk_bytes", "tio_seek", "tio_set_offset",
    // utilities
    "packX", "packD", "packL", "unpackX", "ceil_int", "floor_int", "ceil_off", "floor_off",
    "ceil_double", "floor_double", "getFsUsed", "get_time",
    // detached-header files
    "writeDet", "readDet", "getFileSize", "getDetEntries", "accumDetSize", "isExt", "countDir",
    "getAllDets", "sortDets", "finalizeDet", "tio_finalize_det",
    // extent allocation
    "tio_write_det", "tio_update_det", "writeDetLock", "updateDet", "getAllocation", "determineOffset",
    "createLock", "removeLock", "stripeAlign", "isDetContinuous", "getRandom",
};

// The project's one export checker, given the built engine and its interface: every
// name a defined function, nothing else exported beyond what the toolchain adds.
TEST(Exports, EveryInterfaceFunctionAndNothingElse) {
    std::string command = std::string("'") + TIO_CHECK_EXPORTS + "' '" + TIO_ENGINE_SO + "' --";
    for (const std::string &name : kInterface) command += " " + name;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr) << "popen failed";
    std::string report;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) report += line;
    EXPECT_EQ(pclose(pipe), 0) << report;
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
    std::ifstream header(TIO_PUBLIC_HEADER);
    ASSERT_TRUE(header.good()) << TIO_PUBLIC_HEADER;
    std::stringstream text;
    text << header.rdbuf();
    const std::string source = text.str();
    for (const std::string &name : kInterface) EXPECT_TRUE(declares(source, name)) << name;
}

}  // namespace
