#include "reply_pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kelfs {

ReplyPipe::ReplyPipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    if (::fcntl(fds_[1], F_SETPIPE_SZ, kBytes) < kBytes) close_pipe();
}

ReplyPipe::~ReplyPipe() { close_pipe(); }

void ReplyPipe::close_pipe() {
    for (int &fd : fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool ReplyPipe::ready() {
    if (fds_[0] < 0) return false;
    int held = 0;
    if (::ioctl(fds_[0], FIONREAD, &held) != 0) {
        close_pipe();
        return false;
    }
    return held == 0 || drain();
}

bool ReplyPipe::drain() {
    char scrap[65536];
    for (;;) {
        const ssize_t got = ::read(fds_[0], scrap, sizeof scrap);
        if (got > 0) continue;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;  // empty
        close_pipe();
        return false;
    }
}

}  // namespace kelfs
