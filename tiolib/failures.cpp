// Failed member transfers: what each worker records for the call that reports them, and
// the one line that reports them.
#include "durable.h"
#include "internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace tio {

void note_failure(TioFailure &failure, const char *path, int64_t requested, int64_t moved,
                  int32_t error_number) {
    if (failure.count == 0) failure = TioFailure{path, requested, moved, error_number, 0};
    if (failure.count < INT32_MAX) ++failure.count;
}

void merge_failures(TioWorker &worker, TioFailure TioWorker::*record, const TioFailure &failures) {
    if (failures.count == 0) return;
    pthread_mutex_lock(&worker.failure_lock);
    TioFailure &kept = worker.*record;
    if (kept.count == 0) {
        kept = failures;
    } else {
        kept.count = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, int64_t{kept.count} + failures.count));
    }
    pthread_mutex_unlock(&worker.failure_lock);
}

namespace {

// The reason of a failure, in the words of the line that reports it.
std::string failure_reason(const TioFailure &failure, const char *moved_words) {
    if (failure.error_number != 0) return strerror(failure.error_number);
    char text[96];
    snprintf(text, sizeof text, "%lld of %lld bytes %s", static_cast<long long>(failure.moved),
             static_cast<long long>(failure.requested), moved_words);
    return text;
}

// The count of all recorded failures, the first in worker order in `first`; the records
// start again.
int64_t take_failures(TioHandle *handle, TioFailure TioWorker::*record, TioFailure &first) {
    int64_t count = 0;
    for (int32_t w = 0; w < handle->worker_count; ++w) {
        TioFailure &failure = handle->workers[w].*record;
        if (failure.count == 0) continue;
        if (count == 0) first = failure;
        count += failure.count;
        failure = TioFailure{};
    }
    return count;
}

// " (and N more failed <things>)" after the first of count failures, nothing for one.
std::string more_failures(int64_t count, const char *thing) {
    if (count <= 1) return "";
    return " (and " + std::to_string(count - 1) + " more failed " + thing + (count > 2 ? "s)" : ")");
}

}  // namespace

bool report_write_failures(TioHandle *handle) {
    TioFailure first{};
    const int64_t count = take_failures(handle, &TioWorker::write_failure, first);
    if (count == 0) return true;
    handle->failed |= kWriteFailed;  // those bytes are lost: no recording of the handle can be committed
    report("Error! Could not write %lld bytes to device file %s: %s%s", static_cast<long long>(first.requested),
           first.path ? first.path : "?", failure_reason(first, "written").c_str(),
           more_failures(count, "write").c_str());
    return false;
}

bool report_read_failures(TioHandle *handle) {
    TioFailure first{};
    const int64_t count = take_failures(handle, &TioWorker::read_failure, first);
    if (count == 0) return true;
    report("Error! Could not read device file %s: %s%s", first.path ? first.path : "?",
           failure_reason(first, "delivered").c_str(), more_failures(count, "chunk").c_str());
    return false;
}

}  // namespace tio
