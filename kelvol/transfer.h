// Data files in and out of the volume, through the engine's own read and write paths.
#pragma once

#include "volume.h"

#include <cstdint>
#include <string>

namespace kelvol {

struct ExportOptions {
    std::string name;       // a data file's NAME, or the path of its ".det" file
    std::string out = "-";  // "-": standard output
    bool quiet = false;
};

// Copies the data file byte for byte to out, extent by extent through a read-mode handle.
// Refuses a data file that holds no recorded data, and an out that is one of the volume's
// own files; a regular out is replaced only by a whole export (it is left as it was when
// the export fails). An interrupted recording is exported with one line on standard error
// that says so. Throws Failure.
void export_data_file(const Volume &volume, const ExportOptions &options);

struct ImportOptions {
    std::string in = "-";  // "-": standard input
    std::string name;
    int64_t extent_bytes = int64_t{1024} << 20;  // per extent of a stream
    bool quiet = false;
};

// Records in as the new data file name: one extent of the whole size for a regular file,
// extents of extent_bytes for a stream (or a file that says it holds 0 bytes), written as
// the input delivers it; done only once the engine's finalisation committed. Refuses a name
// that exists; when it fails its own ".det" file and writer mark go, so no space stays
// reserved. Throws Failure.
void import_data_file(const Volume &volume, const ImportOptions &options);

}  // namespace kelvol
