// Owners of the files, descriptors and directories that engine functions open and close
// within one call: whatever path a function leaves by, what it opened is closed.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <unistd.h>

namespace tio {

// Owns one open resource, `kNone` when it owns nothing; closes it with `close_fn` when it
// goes out of scope or is reset.
template <typename Resource, int (*close_fn)(Resource), Resource kNone>
class Closing {
public:
    explicit Closing(Resource resource = kNone) : resource_(resource) {}
    ~Closing() { reset(); }
    Closing(const Closing &) = delete;
    Closing &operator=(const Closing &) = delete;

    Resource get() const { return resource_; }
    explicit operator bool() const { return resource_ != kNone; }

    // Closes what it owns (if anything) and takes `resource` instead.
    void reset(Resource resource = kNone) {
        if (resource_ != kNone) close_fn(resource_);
        resource_ = resource;
    }

    // Gives up ownership without closing: the caller closes what is returned.
    Resource release() {
        const Resource resource = resource_;
        resource_ = kNone;
        return resource;
    }

    // Closes now and returns the close's result, for callers that must know whether
    // buffered data reached the file (0 when nothing was owned).
    int close() {
        const int result = resource_ != kNone ? close_fn(resource_) : 0;
        resource_ = kNone;
        return result;
    }

private:
    Resource resource_;
};

using File = Closing<FILE *, fclose, nullptr>;
using Fd = Closing<int, ::close, -1>;
using Dir = Closing<DIR *, closedir, nullptr>;

}  // namespace tio
