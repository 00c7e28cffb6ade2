// The engine's messages collected instead of printed, for programs that report a
// failure as one line of their own and keep standard output for data.
#pragma once

#include "engine_handle.h"

#include <string>
#include <vector>

namespace kel {

// While it lives, every engine message is kept here instead of going to standard
// output. One may live at a time.
class EngineMessages {
public:
    EngineMessages();
    ~EngineMessages();  // messages go to standard output again
    EngineMessages(const EngineMessages &) = delete;
    EngineMessages &operator=(const EngineMessages &) = delete;

    // What the engine said, as one line: its lines trimmed and joined by spaces, empty
    // lines dropped. Empty when it said nothing.
    std::string line() const;

    // The messages said since the last take, each as the engine said it; they are
    // forgotten here.
    std::vector<std::string> take();

    // The same taken as one reason: each message without its "Error!"/"Error," prefix and
    // its lines joined by spaces, the messages joined by "; ". Empty when there were none.
    std::string take_reason();
};

// Reads the configuration file (and its device table) as the engine reads it, with the
// engine's messages collected. Throws std::runtime_error with a one-line reason that
// names the configuration: "not a regular file" for a FIFO, a directory or a device
// (never opened by the engine, which would wait on a FIFO), else the engine's own message
// (or the failed call, should it say nothing).
VolumeProps load_volume_props(const std::string &config_path);

}  // namespace kel
