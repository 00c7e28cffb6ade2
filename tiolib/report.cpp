// Formatting and delivery of the engine's messages.
#include "report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tio {

namespace {

void write_to_stdout(std::string_view message) {
    fwrite(message.data(), 1, message.size(), stdout);
    fflush(stdout);
}

std::atomic<ReportSink> current_sink{write_to_stdout};

}  // namespace

void set_report_sink(ReportSink sink) { current_sink.store(sink ? sink : write_to_stdout); }

void report(const char *format, ...) {
    // Most messages fit here; one that names long paths is formatted again on the heap.
    char line[1024];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (length < 0) return;
    char *text = line;
    size_t size = static_cast<size_t>(length);
    if (size + 2 > sizeof line) {
        text = static_cast<char *>(malloc(size + 2));
        if (text != nullptr) {
            va_start(args, format);
            vsnprintf(text, size + 1, format, args);
            va_end(args);
        } else {
            text = line;  // out of memory: the message is cut, but still delivered
            size = sizeof line - 2;
        }
    }
    text[size] = '\n';
    current_sink.load()(std::string_view(text, size + 1));
    if (text != line) free(text);
}

}  // namespace tio
