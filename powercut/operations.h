// The FUSE low-level requests, answered from the power-cut file system model (the
// session's user data). One thread serves them, one at a time.
#pragma once

#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>

namespace powercut {

const fuse_lowlevel_ops &operations();

}  // namespace powercut
