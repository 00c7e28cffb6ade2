// Engine handles owned by the tests, and the transfers most tests make with them.
#pragma once

#include "tio.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tio_test {

// An engine handle owned by a test: tio_close runs when it goes out of scope, so a failed
// assertion that leaves a test early does not leave disk threads running or memory
// behind. There is no conversion to the raw pointer: a tio_close of get() would close
// the handle twice.
class Handle {
public:
    Handle() = default;
    explicit Handle(TioHandle *handle) : handle_(handle) {}
    ~Handle();
    Handle(Handle &&other) noexcept;
    Handle &operator=(Handle &&other) noexcept;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    TioHandle *get() const { return handle_; }
    TioHandle *operator->() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    // tio_close's result; the handle is no longer owned afterwards.
    int32_t close();

private:
    TioHandle *handle_ = nullptr;
};

// Opens, configures, sets the direction and initialises; empty (with the step in *why)
// when any of them fails, the handle then already closed.
Handle open_engine(const std::string &config_path, int dir, std::string *why);

// open_engine, then tio_set_offset(offset). When a step fails the failure is recorded as
// a test failure naming it and the result is empty, so that ASSERT_TRUE on it ends the
// test.
Handle open_at(const std::string &config_path, int dir, int64_t offset);

// Hands the stream to a write-mode handle in pieces of the given sizes (which must add up
// to the stream's size); returns false with *why on the first refused call.
bool write_in_pieces(TioHandle *handle, const std::vector<uint8_t> &stream,
                     const std::vector<int64_t> &pieces, std::string *why);

// Piece sizes for reading total bytes back: whole chunks in a cycle of counts, the last
// piece the rest.
std::vector<int64_t> read_pieces(int64_t total, int64_t chunk, const std::vector<int> &chunk_counts);

// Reads total bytes from write_offset through a fresh read-mode handle in the given
// pieces. false with *why on any failure.
bool read_back(const std::string &config_path, int64_t write_offset, int64_t total,
               const std::vector<int64_t> &pieces, std::vector<uint8_t> *out, std::string *why);

}  // namespace tio_test
