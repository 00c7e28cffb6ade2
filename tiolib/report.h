// The engine's one path for messages. Every line the engine prints goes through report(),
// so its text is formatted in one place and a program can say where the lines go.
#pragma once

#include <string_view>

namespace tio {

// Formats one message and hands it, with its final newline, to the current sink. A message
// may span several lines (the configuration usage text does); it is delivered whole.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Receives each message whole, ending in a newline. It may be called from the engine's disk
// threads, so it must be safe to call from any thread.
using ReportSink = void (*)(std::string_view message);

// Where messages go from now on; null restores the default, standard output flushed after
// every message (so a line is seen even when the process dies soon after). Meant for
// programs that link the static engine and use their standard output for data; the shared
// engine does not export it.
void set_report_sink(ReportSink sink);

}  // namespace tio
