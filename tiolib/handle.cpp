// Handle lifecycle up to a working handle: open, direction, init (devices distributed over
// workers, opened, staging buffers allocated); and the page-aligned block allocator. Closing
// and every other teardown live in teardown.cpp.
#include "internal.h"
#include "layout.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using tio::Direction;
using tio::report;

// Member devices are opened close-on-exec; every transfer is a pread or pwrite at an
// explicit position on the stream's descriptor (the stream's buffer is never used), so a
// failure is seen at once. Write mode neither truncates nor creates: the members hold other
// data files' extents, and a member that is missing is a disk that dropped out or a file
// system that did not mount, whose recordings must not be replaced by a new empty file.
// With direct I/O the open fails (EINVAL) where the file system refuses it.
FILE *open_member(const char *path, Direction direction, bool direct_io) {
    const bool reading = direction == Direction::kRead;
    const int access = reading ? O_RDONLY : O_WRONLY;
    const int fd = open(path, access | O_CLOEXEC | (direct_io ? O_DIRECT : 0));
    if (fd < 0) return nullptr;
    FILE *file = fdopen(fd, reading ? "rb" : "wb");
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// Direct I/O moves whole blocks of the member at block positions: every chunk of every
// extent must start on one. The reason it cannot, or "" when it can.
std::string direct_io_refusal(const TioDevice &device, const FsProps &props, int32_t block_size) {
    const long page = sysconf(_SC_PAGESIZE);
    auto not_a_multiple = [&](const char *what, int64_t bytes) {
        return "its " + std::to_string(block_size) + "-byte blocks do not divide " + what + " (" +
               std::to_string(bytes) + " bytes)";
    };
    if (block_size <= 0) return std::string("its block size cannot be learnt: ") + strerror(errno);
    if (block_size > page) return "its " + std::to_string(block_size) + "-byte blocks exceed a memory page";
    if (props.chunk_size % block_size != 0) return not_a_multiple("the chunk size", props.chunk_size);
    if (props.devices[device.global_index].offset % block_size != 0) {
        return not_a_multiple("its offset in the device table", props.devices[device.global_index].offset);
    }
    if (props.start_offset % block_size != 0) return not_a_multiple("the table's start", props.start_offset);
    return "";
}

// Opens the member of a device; false after printing why it cannot serve.
bool open_device(TioDevice &device, const FsProps &props, Direction direction) {
    const bool direct_io = props.direct_io == 1;
    device.file = open_member(device.path, direction, direct_io);
    if (device.file == nullptr) {
        if (direct_io && errno == EINVAL) {
            report("Error! Device file %s refuses direct I/O (DIRECTIO=1): %s", device.path, strerror(errno));
        } else {
            report("Error! Could not open device file %s: %s", device.path, strerror(errno));
        }
        return false;
    }
    if (!direct_io) return true;
    const int32_t block_size = tio::direct_io_block_size(fileno(device.file));
    const std::string refusal = direct_io_refusal(device, props, block_size);
    if (!refusal.empty()) {
        tio::close_stream(device);
        report("Error! Device file %s cannot be used with direct I/O (DIRECTIO=1): %s", device.path, refusal.c_str());
        return false;
    }
    device.block_size = block_size;
    return true;
}

bool init_buffer(TioBuffer &buffer, int32_t chunk_size) {
    buffer.data = static_cast<uint8_t *>(tio_malloc(chunk_size));
    if (buffer.data == nullptr) return false;
    // Touch every page now, so that the first transfer does not pay the page faults.
    memset(buffer.data, 0, static_cast<size_t>(chunk_size));
    buffer.length = 0;
    buffer.requested = 0;
    buffer.read_error = 0;
    if (tio::gate_init(&buffer.full_lock) != 0) return false;
    if (tio::gate_init(&buffer.empty_lock) != 0) {
        tio::gate_destroy(&buffer.full_lock);
        return false;
    }
    tio::gate_take(&buffer.full_lock);
    return true;
}

// Opens one member and builds its buffers; on failure undoes its own part and
// returns false after printing the reason.
bool init_device(TioDevice &device, const FsProps &props, int32_t global_index, Direction direction) {
    device.write_index = -1;
    device.read_index = -1;
    device.global_index = global_index;
    device.user_offset = 0;
    tio::final_piece_bytes(device) = 0;
    device.head_skip = 0;
    device.position = 0;
    device.sequence_start = 0;
    device.block_size = 0;
    device.stripe_bytes = tio::layout_of(props).stripe_size();
    device.path = props.devices[global_index].path;
    if (direction != Direction::kWrite && direction != Direction::kRead) {
        report("Error! Direction not set");
        return false;
    }
    if (!open_device(device, props, direction)) return false;
    if (pthread_mutex_init(&device.select_lock, nullptr) != 0) {
        tio::close_stream(device);
        report("Error! Could not initialise device locks: %s", device.path);
        return false;
    }
    for (int b = 0; b < 2; ++b) {
        if (!init_buffer(device.buffers[b], props.chunk_size)) {
            for (int built = 0; built < b; ++built) tio::destroy_buffer_gates(device.buffers[built]);
            tio::release_buffer_blocks(device);
            pthread_mutex_destroy(&device.select_lock);
            tio::close_stream(device);
            report("Error! Could not allocate buffers");
            return false;
        }
    }
    return true;
}

// The gates by which the caller wakes the worker's thread for a call and learns that it
// is done, both taken (nothing to do, nothing done), and the lock of its failure records.
bool init_worker_gates(TioWorker &worker) {
    if (tio::gate_init(&worker.call_gate) != 0) return false;
    if (tio::gate_init(&worker.done_gate) != 0) {
        tio::gate_destroy(&worker.call_gate);
        return false;
    }
    if (pthread_mutex_init(&worker.failure_lock, nullptr) != 0) {
        tio::gate_destroy(&worker.done_gate);
        tio::gate_destroy(&worker.call_gate);
        return false;
    }
    tio::gate_take(&worker.call_gate);
    tio::gate_take(&worker.done_gate);
    worker.gates_ready = 1;
    return true;
}

bool init_worker(TioWorker &worker, TioHandle *handle, int32_t index, const FsProps &props, int32_t &next_global,
                 Direction direction) {
    const int32_t stripes = props.stripe_count, workers = props.thread_count;
    worker.handle = handle;
    if (!init_worker_gates(worker)) {
        report("Error! Could not initialise worker locks");
        return false;
    }
    worker.thread = tio::kNoThread;
    worker.index = index;
    worker.chunk_size = props.chunk_size;
    worker.device_count = stripes / workers + (index < stripes % workers ? 1 : 0);
    worker.finished = 1;
    auto *devices = static_cast<TioDevice *>(tio_malloc(static_cast<int32_t>(worker.device_count * sizeof(TioDevice))));
    if (devices == nullptr) {
        report("Error! Could not allocate devices");
        return false;
    }
    memset(devices, 0, worker.device_count * sizeof(TioDevice));
    worker.devices = devices;
    for (int32_t d = 0; d < worker.device_count; ++d) {
        if (!init_device(devices[d], props, next_global, direction)) return false;
        ++next_global;
        ++worker.devices_ready;
    }
    return true;
}

bool configuration_usable(const FsProps *props) {
    if (props == nullptr || props->devices == nullptr) {
        report("Error! No member devices configured");
        return false;
    }
    if (props->stripe_count < 1 || props->chunk_size < 1 || props->thread_count < 1 ||
        props->thread_count > props->stripe_count) {
        report("Error! Invalid stripe geometry in the configuration");
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

TIO_API void *tio_malloc(int32_t size) {
    const long page = sysconf(_SC_PAGESIZE);
    if (size < 0 || page <= 0) return nullptr;
    const size_t total = static_cast<size_t>(size) + static_cast<size_t>(page) + 4;
    auto *block = static_cast<uint8_t *>(malloc(total));
    if (block == nullptr) return nullptr;
    const uintptr_t after_header = reinterpret_cast<uintptr_t>(block) + 4;
    const uintptr_t aligned = (after_header / page + 1) * page;
    auto *result = reinterpret_cast<uint8_t *>(aligned);
    const int32_t distance = static_cast<int32_t>(result - block);
    memcpy(result - 4, &distance, sizeof distance);
    return result;
}

TIO_API int32_t tio_free(void *pointer) {
    if (pointer == nullptr) return 0;
    auto *result = static_cast<uint8_t *>(pointer);
    int32_t distance;
    memcpy(&distance, result - 4, sizeof distance);
    free(result - distance);
    return 0;
}

TIO_API TioHandle *tio_open(void) {
    auto *handle = static_cast<TioHandle *>(tio_malloc(sizeof(TioHandle)));
    if (handle == nullptr) return nullptr;
    memset(handle, 0, sizeof *handle);
    handle->workers = nullptr;
    handle->props = nullptr;
    handle->initialized = 0;
    tio::set_direction(*handle, tio::Direction::kUnset);
    handle->magic = TIO_MAGIC;
    handle->stripe_phase = 0;
    handle->chunk_fill = 0;
    handle->busy = 0;
    if (!tio::register_handle(handle)) {
        tio_free(handle);
        return nullptr;
    }
    return handle;
}

TIO_API int32_t tio_set_dir(TioHandle *handle, int32_t dir) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    // The members are open in the first direction and, in write mode, the workers' threads
    // run: a change now would leave the handle waiting for ever.
    if (handle->initialized) {
        report("Error! Handle is already initialised");
        return -1;
    }
    if (dir == 0) return -1;
    tio::set_direction(*handle, dir < 0 ? tio::Direction::kRead : tio::Direction::kWrite);
    return 0;
}

TIO_API int32_t tio_init(TioHandle *handle) {
    const tio::HandleCall call(handle);
    if (!call) return -1;
    if (handle->workers != nullptr) {
        report("Error! Handle is already initialised");
        return -1;
    }
    const FsProps *props = handle->props;
    if (!configuration_usable(props)) return -1;
    const int32_t worker_count = props->thread_count;
    auto *workers = static_cast<TioWorker *>(tio_malloc(static_cast<int32_t>(worker_count * sizeof(TioWorker))));
    if (workers == nullptr) {
        report("Error! Could not allocate threads");
        return -1;
    }
    memset(workers, 0, worker_count * sizeof(TioWorker));
    for (int32_t w = 0; w < worker_count; ++w) {
        workers[w].thread = tio::kNoThread;
        workers[w].finished = 1;  // no thread of this worker runs yet
    }
    handle->workers = workers;
    handle->worker_count = worker_count;
    int32_t next_global = 0;
    const Direction direction = tio::direction_of(*handle);
    for (int32_t w = 0; w < worker_count; ++w) {
        if (!init_worker(workers[w], handle, w, *props, next_global, direction)) return tio::undo_init(handle);
    }
    if (tio::start_write_threads(handle) < 0) {
        report("Error! Launching write threads failed");
        return tio::undo_init(handle);
    }
    handle->initialized = 1;
    return 0;
}

}  // extern "C"
