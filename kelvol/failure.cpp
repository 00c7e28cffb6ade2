#include "failure.h"

#include "engine_messages.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace kelvol {
namespace {

// Kept for the whole run once capture_engine_messages is called, and never destroyed:
// what it collects into belongs to another file's statics, which may be gone first.
kel::EngineMessages *captured = nullptr;

// One message as one part of a line: its "Error!"/"Error," prefix dropped, its lines
// joined by spaces.
std::string as_part(std::string_view message) {
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
    return line;
}

}  // namespace

std::string system_reason(const char *call, int error_number) {
    return std::string(call) + ": " + std::strerror(error_number);
}

void capture_engine_messages() {
    if (captured == nullptr) captured = new kel::EngineMessages;
}

std::string take_engine_messages() {
    if (captured == nullptr) return "";
    std::string joined;
    for (const std::string &message : captured->take()) {
        const std::string part = as_part(message);
        if (part.empty()) continue;
        if (!joined.empty()) joined += "; ";
        joined += part;
    }
    return joined;
}

std::string with_engine_messages(const std::string &reason) {
    const std::string engine = take_engine_messages();
    return engine.empty() ? reason : reason + " (" + engine + ")";
}

}  // namespace kelvol
