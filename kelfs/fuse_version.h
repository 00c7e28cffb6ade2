// The libfuse API version kelfs is written against.
#pragma once

#define FUSE_USE_VERSION 314
