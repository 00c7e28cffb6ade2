// A page-aligned byte buffer whose pages are touched once up front, so that page faults
// are not counted in the time of the transfer that first uses it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace kel {

class AlignedBuffer {
public:
    explicit AlignedBuffer(int64_t size) : size_(size), data_(allocate(size)) {
        std::memset(data_.get(), 0, static_cast<size_t>(size));
    }
    uint8_t *data() { return data_.get(); }
    const uint8_t *data() const { return data_.get(); }
    int64_t size() const { return size_; }

private:
    struct FreeDeleter {
        void operator()(uint8_t *block) const { std::free(block); }
    };
    static constexpr size_t kPageBytes = 4096;

    static uint8_t *allocate(int64_t size) {
        // aligned_alloc wants a multiple of the alignment.
        const size_t rounded = (static_cast<size_t>(size) + kPageBytes - 1) / kPageBytes * kPageBytes;
        void *block = std::aligned_alloc(kPageBytes, rounded == 0 ? kPageBytes : rounded);
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<uint8_t *>(block);
    }

    int64_t size_;
    std::unique_ptr<uint8_t, FreeDeleter> data_;
};

}  // namespace kel
