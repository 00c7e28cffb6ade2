// Failures of system calls, reported with the failing call, the path and errno, and
// failures of engine calls, reported with the call and the value it returned.
#pragma once

#include <stdexcept>
#include <string>

namespace kel {

class SystemError : public std::runtime_error {
public:
    SystemError(const std::string &call, const std::string &path, int error_number);

    // The parts, for a program that words its own line ("PATH: call: reason").
    const std::string &call() const { return call_; }
    const std::string &path() const { return path_; }
    int error_number() const { return error_number_; }

private:
    std::string call_;
    std::string path_;
    int error_number_;
};

// A failed engine call: the call, the value it returned and what it was working on.
class EngineError : public std::runtime_error {
public:
    EngineError(const std::string &call, long long result, const std::string &context);
};

}  // namespace kel
