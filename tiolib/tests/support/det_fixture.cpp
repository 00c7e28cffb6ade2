#include "det_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace det_fixture {

HeaderDir::HeaderDir() {
    char pattern[] = "/tmp/tio-det-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (!made) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = made ? made : "/tmp";
    chmod(path_.c_str(), 0777);
}

HeaderDir::~HeaderDir() {
    if (path_ == "/tmp") return;
    nftw(
        path_.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> HeaderDir::names() const {
    std::vector<std::string> names;
    if (DIR *dir = opendir(path_.c_str())) {
        while (const dirent *entry = readdir(dir))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<FsProps> makeProps(const std::string &header_dir, int64_t device_size,
                                   int32_t chunk_size, int32_t stripe_count) {
    auto props = std::make_unique<FsProps>();
    std::memset(props.get(), 0, sizeof(FsProps));
    props->device_size = device_size;
    props->chunk_size = chunk_size;
    props->stripe_count = stripe_count;
    props->thread_count = 1;
    std::snprintf(props->type, sizeof props->type, "RAID");
    std::snprintf(props->header_dir, sizeof props->header_dir, "%s", header_dir.c_str());
    return props;
}

namespace {

TioHandle &open_handle() {
    TioHandle *handle = tio_open();
    if (handle == nullptr) throw std::bad_alloc();
    return *handle;
}

}  // namespace

FakeHandle::FakeHandle(FsProps *props) : handle(open_handle()) { handle.props = props; }

FakeHandle::~FakeHandle() {
    handle.magic = TIO_MAGIC;
    handle.props = nullptr;  // not the engine's to release
    tio_close(&handle);
}

std::string recordBytes(const std::vector<Entry> &entries) {
    std::string bytes;
    for (const Entry &entry : entries)
        for (uint64_t field : {uint64_t(entry.offset), uint64_t(entry.length)})
            for (int byte = 0; byte < 8; ++byte) bytes.push_back(char((field >> (8 * byte)) & 0xff));
    return bytes;
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

void writeEntries(const std::string &path, const std::vector<Entry> &entries) {
    writeFile(path, recordBytes(entries));
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

int64_t inodeOf(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? int64_t(info.st_ino) : -1;
}

unsigned modeOf(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? unsigned(info.st_mode & 07777) : 0;
}

std::string shortReadingFile() {
    for (const char *candidate : {"/sys/devices/system/cpu/online", "/sys/kernel/profiling",
                                  "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        struct stat info;
        if (stat(candidate, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != 4096) continue;
        const std::string content = readFile(candidate);
        if (!content.empty() && content.size() < 4096) return candidate;
    }
    return "";
}


}  // namespace det_fixture
