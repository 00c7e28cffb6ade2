#include "failure.h"

#include "report.h"

#include <cstring>
#include <mutex>
#include <string_view>

namespace kelvol {
namespace {

std::mutex messages_lock;
std::string messages;  // guarded by messages_lock

// The engine may report from its disk threads.
void keep_message(std::string_view message) {
    for (const std::string_view prefix : {"Error! ", "Error!", "Error, ", "Error,"}) {
        if (message.substr(0, prefix.size()) == prefix) {
            message.remove_prefix(prefix.size());
            break;
        }
    }
    std::string line;
    for (const char c : message) {
        if (c == '\n') {
            if (!line.empty() && line.back() != ' ') line += ' ';
        } else {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.empty()) return;
    std::lock_guard<std::mutex> guard(messages_lock);
    if (!messages.empty()) messages += "; ";
    messages += line;
}

}  // namespace

std::string system_reason(const char *call, int error_number) {
    return std::string(call) + ": " + std::strerror(error_number);
}

void capture_engine_messages() { tio::set_report_sink(keep_message); }

std::string take_engine_messages() {
    std::lock_guard<std::mutex> guard(messages_lock);
    std::string taken;
    taken.swap(messages);
    return taken;
}

std::string with_engine_messages(const std::string &reason) {
    const std::string engine = take_engine_messages();
    return engine.empty() ? reason : reason + " (" + engine + ")";
}

}  // namespace kelvol
