// Helpers of the ".det" and allocation tests: a scratch header directory, volume
// properties built in memory, raw record bytes computed independently of the engine,
// stdout capture and a configured handle without devices.
#pragma once

#include "tio.h"
#include "output_capture.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace det_fixture {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;

// A fresh directory under /tmp, removed with everything in it.
class HeaderDir {
public:
    HeaderDir();
    ~HeaderDir();
    HeaderDir(const HeaderDir &) = delete;
    HeaderDir &operator=(const HeaderDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Names in the directory, sorted.
    std::vector<std::string> names() const;

private:
    std::string path_;
};

// Geometry of the examples: 4 members, 64 KiB chunks, a 64 MiB volume.
std::unique_ptr<FsProps> makeProps(const std::string &header_dir, int64_t device_size = 64 * MiB,
                                   int32_t chunk_size = 64 * KiB, int32_t stripe_count = 4);

// A live engine handle (from tio_open) that carries props, which stay the caller's; it
// has no devices. A test may stomp on its magic; it is restored before the handle closes.
struct FakeHandle {
    explicit FakeHandle(FsProps *props);
    ~FakeHandle();
    FakeHandle(const FakeHandle &) = delete;
    FakeHandle &operator=(const FakeHandle &) = delete;
    TioHandle &handle;
};

struct Entry {
    int64_t offset;
    int64_t length;
    bool operator==(const Entry &) const = default;
};

// The bytes of a ".det" file holding entries: per record offset then length, each 8 bytes
// with the least significant byte first.
std::string recordBytes(const std::vector<Entry> &entries);
void writeFile(const std::string &path, const std::string &bytes);
void writeEntries(const std::string &path, const std::vector<Entry> &entries);
std::string readFile(const std::string &path);
bool exists(const std::string &path);
int64_t inodeOf(const std::string &path);
unsigned modeOf(const std::string &path);  // permission bits

// A regular file that announces 4096 bytes but yields fewer when read (a sysfs
// attribute), or "" when none is available here.
std::string shortReadingFile();

// Standard-output capture shared with the engine tests.
using StdoutCapture = tio_test::StdoutCapture;

}  // namespace det_fixture
