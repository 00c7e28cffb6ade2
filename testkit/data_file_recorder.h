// Recording data files through the engine as a writer program does: the first extent of
// a data file reserved with tio_write_det, each further one with tio_update_det (merged
// into the last one when it continues it), each written from member 0 at its offset in
// tio_write calls of the sizes given, and the lengths finalised to what was written.
#pragma once

#include "engine_handle.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

class DataFileRecorder {
public:
    // A write-mode handle on the configuration; the write calls take the sizes in turn,
    // continuing across extents and data files. Throws EngineError.
    DataFileRecorder(const std::string &config_path, std::vector<int64_t> call_sizes);

    // Reserves one more extent of `reserve` bytes for the data file whose ".det" file is
    // det_path (tio_write_det when `first`, else tio_update_det), positions the members at
    // it and writes the first `bytes` bytes of data into it (bytes <= reserve). Returns
    // the extent's offset; throws EngineError.
    int64_t add_extent(const std::string &det_path, bool first, int64_t reserve, const uint8_t *data,
                       int64_t bytes);
    // Waits until every byte handed over is on the members (tio_wait_threads), then makes
    // the recorded lengths add up to size (tio_finalize_det). Throws EngineError.
    void finalize(const std::string &det_path, int64_t size);
    // Waits and closes the handle; throws EngineError when a member write failed.
    void close();

private:
    EngineHandle handle_;
    std::vector<int64_t> call_sizes_;
    size_t next_call_ = 0;
};

}  // namespace kel
