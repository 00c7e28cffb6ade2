#include "engine_messages.h"

#include "report.h"
#include "system_error.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <string_view>

namespace kel {
namespace {

// The sink is a plain function, so what it collects lives here. The engine may report
// from its disk threads.
std::mutex collected_mutex;
std::vector<std::string> collected;
bool collecting = false;

void collect(std::string_view message) {
    std::lock_guard<std::mutex> lock(collected_mutex);
    collected.emplace_back(message);
}

std::string trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// The engine refuses a configuration that is not a regular file without saying why; the
// tools say it. One that cannot be opened at all is left to the engine, which says so.
void require_regular_configuration(const std::string &config_path) {
    const int fd = ::open(config_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return;
    struct stat info {};
    const int stat_result = ::fstat(fd, &info);
    const int error = errno;
    ::close(fd);
    if (stat_result != 0) throw SystemError("fstat", config_path, error);
    if (!S_ISREG(info.st_mode)) throw std::runtime_error(config_path + ": configuration file is not a regular file");
}

// One message as one part of a reason: its "Error!"/"Error," prefix dropped, its lines
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

EngineMessages::EngineMessages() {
    std::lock_guard<std::mutex> lock(collected_mutex);
    if (collecting) throw std::logic_error("engine messages are already being collected");
    collecting = true;
    collected.clear();
    tio::set_report_sink(collect);
}

EngineMessages::~EngineMessages() {
    tio::set_report_sink(nullptr);
    std::lock_guard<std::mutex> lock(collected_mutex);
    collecting = false;
    collected.clear();
}

std::string EngineMessages::line() const {
    std::string said;
    {
        std::lock_guard<std::mutex> lock(collected_mutex);
        for (const std::string &message : collected) said += message;
    }
    std::string result;
    size_t start = 0;
    while (start < said.size()) {
        size_t end = said.find('\n', start);
        if (end == std::string::npos) end = said.size();
        const std::string part = trimmed(std::string_view(said).substr(start, end - start));
        if (!part.empty()) result.append(result.empty() ? "" : " ").append(part);
        start = end + 1;
    }
    return result;
}

std::vector<std::string> EngineMessages::take() {
    std::lock_guard<std::mutex> lock(collected_mutex);
    std::vector<std::string> taken;
    taken.swap(collected);
    return taken;
}

std::string EngineMessages::take_reason() {
    std::string joined;
    for (const std::string &message : take()) {
        const std::string part = as_part(message);
        if (part.empty()) continue;
        if (!joined.empty()) joined += "; ";
        joined += part;
    }
    return joined;
}

VolumeProps load_volume_props(const std::string &config_path) {
    require_regular_configuration(config_path);
    EngineMessages messages;
    try {
        return read_volume_props(config_path);
    } catch (const EngineError &error) {
        const std::string said = messages.line();
        throw std::runtime_error(config_path + ": " + (said.empty() ? std::string(error.what()) : said));
    }
}

}  // namespace kel
