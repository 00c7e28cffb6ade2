#include "free_space.h"

#include "alloc_internal.h"

namespace kel {

int64_t largest_grantable_request(FsProps *props) { return tio::largest_grantable_request(props); }

}  // namespace kel
