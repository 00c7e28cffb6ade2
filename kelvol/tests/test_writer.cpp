// A writer for the tests that kill writers in the middle of allocations. It allocates
// through a configured handle, as a recording program does, without writing data:
//   kelvol_test_writer CONFIG PREFIX loop SEED   allocate, grow and drop data files for ever
//   kelvol_test_writer CONFIG PREFIX stall-update  record one extent, then stop inside an
//                                                  update, holding the lock with its
//                                                  reservation recorded
//   kelvol_test_writer CONFIG PREFIX wait-lock     say "ready" and start an allocation (the
//                                                  test holds the lock, so it waits)
#include "alloc_internal.h"
#include "tio.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <unistd.h>

namespace {

void say(const char *word) {
    std::printf("%s\n", word);
    std::fflush(stdout);
}

[[noreturn]] void stop_here(int, const char *) {
    say("stalled");
    for (;;) pause();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kelvol_test_writer CONFIG PREFIX loop SEED | stall-update | wait-lock\n");
        return 2;
    }
    TioHandle *handle = tio_open();
    if (handle == nullptr || tio_set_config(handle, argv[1]) != 0) return 1;
    const std::string directory = handle->props->header_dir;
    const std::string prefix = directory + "/" + argv[2] + "-" + std::to_string(getpid()) + "-";
    const std::string mode = argv[3];
    const int64_t stripe = int64_t{handle->props->chunk_size} * handle->props->stripe_count;

    if (mode == "stall-update") {
        const std::string path = prefix + "0.det";
        if (tio_write_det(handle, path.c_str(), stripe) < 0) return 1;
        tio::before_release_hook = stop_here;
        tio_update_det(handle, path.c_str(), stripe);
        return 1;  // not reached
    }
    if (mode == "wait-lock") {
        const std::string path = prefix + "0.det";
        say("ready");
        return tio_write_det(handle, path.c_str(), 3 * stripe + 1) < 0;
    }
    if (mode != "loop" || argc < 5) return 2;
    std::mt19937_64 random(std::strtoull(argv[4], nullptr, 10) ^ static_cast<uint64_t>(getpid()));
    std::deque<std::string> files;
    for (int64_t i = 0;; ++i) {
        const std::string path = prefix + std::to_string(i) + ".det";
        const int64_t size = static_cast<int64_t>(1 + random() % 3) * stripe - static_cast<int64_t>(random() % 2);
        if (tio_write_det(handle, path.c_str(), size) < 0) {
            std::remove(path.c_str());
        } else {
            files.push_back(path);
            for (uint64_t updates = random() % 3; updates > 0; --updates) tio_update_det(handle, path.c_str(), stripe);
        }
        // Drop old files now and then, and whenever the volume is full, so that gaps appear
        // and allocations go on.
        while (!files.empty() && (files.size() > 6 || random() % 3 == 0)) {
            std::remove(files.front().c_str());
            files.pop_front();
        }
    }
}
