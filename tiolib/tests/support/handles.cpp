#include "handles.h"

#include <gtest/gtest.h>

#include <utility>

namespace tio_test {

Handle::~Handle() {
    if (handle_) tio_close(handle_);
}

Handle::Handle(Handle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Handle &Handle::operator=(Handle &&other) noexcept {
    if (this != &other) {
        if (handle_) tio_close(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

int32_t Handle::close() { return tio_close(std::exchange(handle_, nullptr)); }

Handle open_engine(const std::string &config_path, int dir, std::string *why) {
    Handle handle(tio_open());
    if (!handle) {
        *why = "tio_open returned null";
        return handle;
    }
    int rc = tio_set_config(handle.get(), config_path.c_str());
    if (rc != 0) {
        *why = "tio_set_config returned " + std::to_string(rc);
    } else if ((rc = tio_set_dir(handle.get(), dir)) != 0) {
        *why = "tio_set_dir returned " + std::to_string(rc);
    } else if ((rc = tio_init(handle.get())) != 0) {
        *why = "tio_init returned " + std::to_string(rc);
    } else {
        return handle;
    }
    return Handle();
}

Handle open_at(const std::string &config_path, int dir, int64_t offset) {
    std::string why;
    Handle handle = open_engine(config_path, dir, &why);
    if (!handle) {
        ADD_FAILURE() << "opening " << config_path << ": " << why;
        return handle;
    }
    const int32_t rc = tio_set_offset(handle.get(), offset);
    if (rc != 0) {
        ADD_FAILURE() << "tio_set_offset(" << offset << ") returned " << rc;
        return Handle();
    }
    return handle;
}

bool write_in_pieces(TioHandle *handle, const std::vector<uint8_t> &stream,
                     const std::vector<int64_t> &pieces, std::string *why) {
    int64_t done = 0;
    for (int64_t piece : pieces) {
        int32_t rc = tio_write(handle, stream.data() + done, piece);
        if (rc != int32_t(piece)) {
            *why = "tio_write of " + std::to_string(piece) + " bytes at stream byte " +
                   std::to_string(done) + " returned " + std::to_string(rc);
            return false;
        }
        done += piece;
    }
    if (done != int64_t(stream.size())) {
        *why = "pieces add up to " + std::to_string(done) + ", not the stream's size";
        return false;
    }
    return true;
}

std::vector<int64_t> read_pieces(int64_t total, int64_t chunk,
                                 const std::vector<int> &chunk_counts) {
    std::vector<int64_t> pieces;
    int64_t left = total;
    for (size_t i = 0; left > 0; ++i) {
        int64_t piece = std::min<int64_t>(left, chunk * chunk_counts[i % chunk_counts.size()]);
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

bool read_back(const std::string &config_path, int64_t write_offset, int64_t total,
               const std::vector<int64_t> &pieces, std::vector<uint8_t> *out, std::string *why) {
    Handle handle = open_engine(config_path, -1, why);
    if (!handle) return false;
    const int64_t unit = handle->props->chunk_size;
    bool ok = false;
    int rc = 0;
    out->clear();
    if ((rc = tio_set_offset(handle.get(), write_offset)) != 0) {
        *why = "tio_set_offset returned " + std::to_string(rc);
    } else if ((rc = tio_launch_read_threads(handle.get(), total)) != 0) {
        *why = "tio_launch_read_threads returned " + std::to_string(rc);
    } else {
        ok = true;
        for (int64_t piece : pieces) {
            // Room for whole chunks: a read call copies every chunk whole.
            std::vector<uint8_t> buffer((piece + unit - 1) / unit * unit, 0);
            rc = tio_read(handle.get(), buffer.data(), piece);
            if (rc != int32_t(piece)) {
                *why = "tio_read of " + std::to_string(piece) + " bytes at stream byte " +
                       std::to_string(out->size()) + " returned " + std::to_string(rc);
                ok = false;
                break;
            }
            out->insert(out->end(), buffer.begin(), buffer.begin() + piece);
        }
        if (ok && (rc = tio_join_threads(handle.get())) != 0) {
            *why = "tio_join_threads returned " + std::to_string(rc);
            ok = false;
        }
    }
    if ((rc = handle.close()) != 0 && ok) {
        *why = "tio_close returned " + std::to_string(rc);
        ok = false;
    }
    return ok;
}

}  // namespace tio_test
