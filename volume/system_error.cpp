#include "system_error.h"

#include <cstring>

namespace kel {

SystemError::SystemError(const std::string &call, const std::string &path, int error_number)
    : std::runtime_error(call + "(" + path + ") failed: " + std::strerror(error_number) +
                         " (errno " + std::to_string(error_number) + ")"),
      call_(call), path_(path), error_number_(error_number) {}

EngineError::EngineError(const std::string &call, long long result, const std::string &context)
    : std::runtime_error(call + " returned " + std::to_string(result) +
                         (context.empty() ? "" : " (" + context + ")")) {}

}  // namespace kel
