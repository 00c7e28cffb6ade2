// The registry of live handles, the claim every call takes on its handle, and the retired
// blocks of closed handles.
//
// A handle crosses into Java as a plain number, so any value may come back: a closed
// handle, a byte copy of one, garbage. Only a handle found in the registry is read. A
// closed handle's block is not given back to the heap at once, because the heap would hand
// the same address to the next tio_open and a stale value would then reach somebody else's
// live handle. The last kRetiredBlocks blocks stay retired; the oldest goes back to the
// heap when one more is retired. They stay reachable from the registry, which is never
// destroyed, so a leak checker at exit sees nothing lost.
#include "internal.h"

#include <array>
#include <mutex>
#include <unordered_set>

namespace tio {

namespace {

constexpr size_t kRetiredBlocks = 64;

struct Registry {
    std::mutex mutex;
    std::unordered_set<const TioHandle *> live;
    std::array<TioHandle *, kRetiredBlocks> retired{};
    size_t oldest_retired = 0;  // the slot the next retired block takes
};

// Never destroyed: calls may still arrive from other threads while the process exits.
Registry &registry() {
    static Registry *const instance = new Registry;
    return *instance;
}

const char kMagicLine[] = "Error! Magic number doesn't match. Something has stomped on our memory block";
const char kCloseMagicLine[] =
    "Error! In close() and magic number doesn't match. Something stomped on our memory block";
const char kBusyLine[] = "Error! Handle is in use by another call";

void retire_block(TioHandle *handle) {
    TioHandle *released;
    {
        Registry &r = registry();
        const std::lock_guard<std::mutex> lock(r.mutex);
        released = r.retired[r.oldest_retired];
        r.retired[r.oldest_retired] = handle;
        r.oldest_retired = (r.oldest_retired + 1) % kRetiredBlocks;
    }
    tio_free(released);
}

}  // namespace

bool register_handle(TioHandle *handle) {
    try {
        Registry &r = registry();
        const std::lock_guard<std::mutex> lock(r.mutex);
        r.live.insert(handle);
        return true;
    } catch (...) {
        return false;
    }
}

HandleCall::HandleCall(TioHandle *handle, Refusal refusal) : handle_(nullptr) {
    const char *refused = nullptr;
    {
        Registry &r = registry();
        // Membership, magic and the busy mark are decided together, so that a tio_close
        // on another thread either comes first (the handle is gone) or finds it busy.
        const std::lock_guard<std::mutex> lock(r.mutex);
        if (r.live.count(handle) == 0 || handle->magic != TIO_MAGIC) {
            refused = refusal == Refusal::kClose ? kCloseMagicLine : kMagicLine;
        } else if (__atomic_exchange_n(&handle->busy, 1, __ATOMIC_ACQUIRE) != 0) {
            refused = kBusyLine;
        } else {
            handle_ = handle;
        }
    }
    if (refused != nullptr) report("%s", refused);
}

HandleCall::~HandleCall() {
    if (handle_ == nullptr) return;
    if (retired_) {
        retire_block(handle_);
    } else {
        __atomic_store_n(&handle_->busy, 0, __ATOMIC_RELEASE);
    }
}

void HandleCall::retire() {
    Registry &r = registry();
    const std::lock_guard<std::mutex> lock(r.mutex);
    r.live.erase(handle_);
    retired_ = true;
}

}  // namespace tio
