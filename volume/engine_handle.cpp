#include "engine_handle.h"

#include "system_error.h"

#include <memory>

namespace kel {
namespace {

TioHandle *open_configured(const std::string &config_path) {
    ConfiguredHandle configured = configure_handle(config_path);
    if (!configured.handle) throw EngineError("tio_open", 0, "out of memory");
    if (configured.result != 0) throw EngineError("tio_set_config", configured.result, config_path);
    return configured.handle.release();
}

}  // namespace

ConfiguredHandle configure_handle(const std::string &config_path) {
    ConfiguredHandle configured;
    configured.handle.reset(tio_open());
    if (configured.handle) configured.result = tio_set_config(configured.handle.get(), config_path.c_str());
    return configured;
}

void expect_result(int64_t result, int64_t expected, const char *call,
                   const std::string &context) {
    if (result != expected) throw EngineError(call, result, context);
}

VolumeProps read_volume_props(const std::string &config_path) {
    const HandlePointer handle(open_configured(config_path), tio_close);
    return volume_props_of(*handle->props);
}

VolumeProps volume_props_of(const FsProps &props) {
    VolumeProps volume{props.chunk_size, props.stripe_count, props.thread_count, props.device_size,
                       props.header_dir, props.start_offset, {}, props.fuse_path};
    // A usable configuration has its members; the record's defaults for other types have none.
    if (props.devices != nullptr) volume.devices.assign(props.devices, props.devices + props.stripe_count);
    return volume;
}

EngineHandle::EngineHandle(const std::string &config_path, Direction direction)
    : handle_(open_configured(config_path)) {
    try {
        expect_result(tio_set_dir(handle_, direction == Direction::write ? 1 : -1), 0,
                      "tio_set_dir");
        expect_result(tio_init(handle_), 0, "tio_init", config_path);
    } catch (...) {
        tio_close(handle_);
        throw;
    }
}

EngineHandle::~EngineHandle() {
    if (handle_ != nullptr) tio_close(handle_);
}

void EngineHandle::close() {
    TioHandle *handle = handle_;
    handle_ = nullptr;
    expect_result(tio_close(handle), 0, "tio_close");
}

}  // namespace kel
