// The member devices of a volume opened for reading, once, as a reader of recorded data
// needs them: a descriptor per member, the layout that places bytes on them, and each
// member's size now.
#pragma once

#include "closing.h"
#include "engine_handle.h"
#include "layout.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kel {

class MemberDevices {
public:
    // Opens every member of the volume read-only and close-on-exec. Throws SystemError
    // for a member that cannot be opened or examined, std::runtime_error for a volume
    // without members or a member that is neither a regular file nor a block device (a
    // directory or a FIFO can never hold a stripe).
    explicit MemberDevices(const VolumeProps &volume);
    MemberDevices(const MemberDevices &) = delete;
    MemberDevices &operator=(const MemberDevices &) = delete;

    const tio::StripeLayout &layout() const { return layout_; }
    int32_t count() const { return layout_.members; }
    int fd(int32_t member) const { return fds_[member].get(); }
    const std::string &path(int32_t member) const { return paths_[member]; }

    // Bytes the member holds now: a file's current size (it may be truncated while the
    // volume is read), a block device's capacity. -1 with errno set when it cannot be
    // asked.
    int64_t size(int32_t member) const;

private:
    std::vector<DmDevice> devices_;  // layout_ points into it
    std::vector<std::string> paths_;
    std::unique_ptr<tio::Fd[]> fds_;
    std::vector<bool> block_device_;
    tio::StripeLayout layout_;
};

}  // namespace kel
