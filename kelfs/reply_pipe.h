// A pipe in which a reply's bytes are gathered from the members by splice before they are
// handed to libfuse. Gathered first, because libfuse, splicing from the members itself,
// would turn a member read that fails after the first bytes into a short reply, which the
// reader takes for the end of the file. Each request thread has its own.
#pragma once

#include <cstdint>

namespace kelfs {

class ReplyPipe {
public:
    // Bytes a reply may hold: room for kMaxReadBytes in whole pages and the partial pages
    // at the ends of its pieces.
    static constexpr int kBytes = 1 << 20;

    ReplyPipe();
    ~ReplyPipe();
    ReplyPipe(const ReplyPipe &) = delete;
    ReplyPipe &operator=(const ReplyPipe &) = delete;

    // Whether the pipe exists and is empty (what an earlier reply left unread is thrown
    // away first, so that it can never precede another reply's bytes).
    bool ready();
    // Throws away what the pipe holds; false (and the pipe is no longer used) when it
    // cannot.
    bool drain();

    int read_fd() const { return fds_[0]; }
    int write_fd() const { return fds_[1]; }

private:
    void close_pipe();
    int fds_[2] = {-1, -1};
};

}  // namespace kelfs
