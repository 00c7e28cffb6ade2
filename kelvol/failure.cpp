#include "failure.h"

#include "engine_messages.h"

#include <cstring>

namespace kelvol {
namespace {

// Kept for the whole run once capture_engine_messages is called, and never destroyed:
// what it collects into belongs to another file's statics, which may be gone first.
kel::EngineMessages *captured = nullptr;

}  // namespace

std::string system_reason(const char *call, int error_number) {
    return std::string(call) + ": " + std::strerror(error_number);
}

void capture_engine_messages() {
    if (captured == nullptr) captured = new kel::EngineMessages;
}

std::string take_engine_messages() { return captured == nullptr ? "" : captured->take_reason(); }

std::string with_engine_messages(const std::string &reason) {
    const std::string engine = take_engine_messages();
    return engine.empty() ? reason : reason + " (" + engine + ")";
}

}  // namespace kelvol
