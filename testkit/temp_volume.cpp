#include "temp_volume.h"

#include "system_error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kel {
namespace {

void remove_tree(const std::string &path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    // A destructor cannot fail; leaving a temporary directory behind deserves a word.
    if (error) std::fprintf(stderr, "could not remove %s: %s\n", path.c_str(), error.message().c_str());
}

}  // namespace

TempVolume::TempVolume(const std::string &parent_dir, const std::string &prefix, const VolumeGeometry &geometry)
    : geometry_(geometry) {
    std::string name_template = parent_dir + "/" + prefix + "XXXXXX";
    if (::mkdtemp(name_template.data()) == nullptr) throw SystemError("mkdtemp", name_template, errno);
    directory_ = name_template;
    try {
        files_ = create_volume(directory_, geometry);
    } catch (...) {
        remove_tree(directory_);
        throw;
    }
}

TempVolume::~TempVolume() { remove_tree(directory_); }

std::string TempVolume::add_config(int workers) {
    const std::string path = directory_ + "/volume-" + std::to_string(workers) + "-workers.conf";
    VolumeConfig config = files_.config;
    config.threads = workers;
    write_config_file(path, config);
    return path;
}

tio::StripeLayout TempVolume::layout() const {
    return tio::StripeLayout{geometry_.members, geometry_.chunk_bytes, 0, nullptr};
}

std::string default_temp_parent() {
    const char *tmpdir = std::getenv("TMPDIR");
    return (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
}

}  // namespace kel
