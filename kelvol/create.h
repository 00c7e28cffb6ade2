// A new volume: its member files (or existing devices), device table, header directory
// and configuration file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvol {

constexpr int64_t kMaxChunkKib = 1024 * 1024;

struct CreateOptions {
    std::string directory;
    int members = 0;                   // with member_mib: member files to make
    int64_t member_mib = 0;
    std::vector<std::string> devices;  // instead: existing block devices or files
    int64_t chunk_kib = 1024;          // 1 to kMaxChunkKib: the command line holds it there
    int threads = 2;
};

// Makes the volume in directory (made when missing; an existing one must be empty) and
// returns the configuration file's path. Throws Failure, or kel::UsageError for sizes
// that make no volume.
std::string create_volume(const CreateOptions &options);

}  // namespace kelvol
