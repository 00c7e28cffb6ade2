#include "data_file_recorder.h"

#include "system_error.h"

#include <algorithm>
#include <stdexcept>

namespace kel {

DataFileRecorder::DataFileRecorder(const std::string &config_path, std::vector<int64_t> call_sizes)
    : handle_(config_path, Direction::write), call_sizes_(std::move(call_sizes)) {
    if (call_sizes_.empty() || *std::min_element(call_sizes_.begin(), call_sizes_.end()) < 1)
        throw std::invalid_argument("write calls need sizes of at least one byte");
}

int64_t DataFileRecorder::add_extent(const std::string &det_path, bool first, int64_t reserve,
                                     const uint8_t *data, int64_t bytes) {
    if (bytes > reserve) throw std::invalid_argument("more bytes than the extent reserves");
    const int64_t offset = first ? tio_write_det(handle_.get(), det_path.c_str(), reserve)
                                 : tio_update_det(handle_.get(), det_path.c_str(), reserve);
    if (offset < 0) throw EngineError(first ? "tio_write_det" : "tio_update_det", offset, det_path);
    expect_result(tio_set_offset(handle_.get(), offset), 0, "tio_set_offset", det_path);
    for (int64_t done = 0; done < bytes;) {
        const int64_t length = std::min(call_sizes_[next_call_++ % call_sizes_.size()], bytes - done);
        expect_result(tio_write(handle_.get(), data + done, length), length, "tio_write", det_path);
        done += length;
    }
    return offset;
}

void DataFileRecorder::finalize(const std::string &det_path, int64_t size) {
    expect_result(tio_wait_threads(handle_.get()), 0, "tio_wait_threads", "a member write failed");
    int64_t recorded = 0;
    if (accumDetSize(det_path.c_str(), &recorded) != 0) throw EngineError("accumDetSize", -5, det_path);
    const int64_t difference = tio_finalize_det(handle_.get(), det_path.c_str(), size);
    // -1 is a failure or, rarely, the true difference; the sum read back tells which.
    if (difference != recorded - size || (accumDetSize(det_path.c_str(), &recorded) == 0 && recorded != size))
        throw EngineError("tio_finalize_det", difference, det_path);
}

void DataFileRecorder::close() {
    expect_result(tio_wait_threads(handle_.get()), 0, "tio_wait_threads", "a member write failed");
    handle_.close();
}

}  // namespace kel
