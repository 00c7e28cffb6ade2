// The files of a view as a file system numbers them for the kernel. The directory is
// number 1. A data file's number stands for one recording: it stays while the recording
// grows and is finalised, and a recording that replaces it under the same name is given a
// new number. Numbers are never given twice, so the kernel keeps the two recordings apart
// (their attributes and page caches): a reader of the old one never sees the new one's
// size or bytes. A number lives while the kernel holds lookups of it.
#pragma once

#include "data_file_catalog.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kel {

// Safe to use from many threads at once.
class ViewFiles {
public:
    static constexpr uint64_t kDirectory = 1;

    explicit ViewFiles(DataFileCatalog &catalog) : catalog_(catalog) {}

    struct Found {
        uint64_t number = 0;                   // 0: there is no such data file
        std::shared_ptr<const DataFile> file;  // as it stands
    };
    // The data file of that name as it stands, with the number of its recording, which
    // the kernel now holds one more lookup of.
    Found look_up(std::string_view name);
    // The kernel forgets that many lookups of a number.
    void forget(uint64_t number, uint64_t lookups);
    // The recording a data file's number stands for; null for a number not known.
    std::shared_ptr<Recording> recording(uint64_t number);

private:
    struct Entry {
        std::string name;
        std::shared_ptr<Recording> recording;
        uint64_t lookups = 0;
    };

    DataFileCatalog &catalog_;
    std::mutex mutex_;  // guards everything below
    uint64_t next_number_ = kDirectory + 1;
    std::unordered_map<uint64_t, Entry> entries_;
    std::map<std::string, uint64_t, std::less<>> numbers_;  // by name: the number of the recording it holds
};

}  // namespace kel
