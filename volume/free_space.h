// What the tools ask of the engine's allocator about the free space of a volume.
#pragma once

#include "tio.h"

#include <cstdint>

namespace kel {

// The largest size that tio_write_det would be granted now: one byte more is refused. -1
// when no request is granted, the header directory cannot be listed or the record is
// unusable (the engine says why). Reads only; takes no lock.
int64_t largest_grantable_request(FsProps *props);

}  // namespace kel
