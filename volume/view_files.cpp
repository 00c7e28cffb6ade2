#include "view_files.h"

namespace kel {

ViewFiles::Found ViewFiles::look_up(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto named = numbers_.find(name); named != numbers_.end()) {
        Entry &entry = entries_.at(named->second);
        if (std::shared_ptr<const DataFile> file = entry.recording->current()) {
            ++entry.lookups;
            return {named->second, std::move(file)};
        }
        // The name holds another recording now, or none; the old number stays while the
        // kernel holds it.
        numbers_.erase(named);
    }
    std::shared_ptr<Recording> recording = catalog_.recording(name);
    std::shared_ptr<const DataFile> file = recording ? recording->current() : nullptr;
    if (!file) return {};
    const uint64_t number = next_number_++;
    entries_.emplace(number, Entry{std::string(name), std::move(recording), 1});
    numbers_.emplace(std::string(name), number);
    return {number, std::move(file)};
}

void ViewFiles::forget(uint64_t number, uint64_t lookups) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(number);
    if (found == entries_.end()) return;
    Entry &entry = found->second;
    entry.lookups -= std::min(lookups, entry.lookups);
    if (entry.lookups > 0) return;
    if (const auto named = numbers_.find(entry.name); named != numbers_.end() && named->second == number)
        numbers_.erase(named);
    entries_.erase(found);
}

std::shared_ptr<Recording> ViewFiles::recording(uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(number);
    return found == entries_.end() ? nullptr : found->second.recording;
}

}  // namespace kel
