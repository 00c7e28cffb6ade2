// Streams cut into tio_write calls in many ways, and the whole round trip of one: written,
// found on the members where the layout puts it, and read back.
#pragma once

#include "striped_volume.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tio_test {

// A way of cutting a stream into tio_write calls, given the chunk size and member count.
struct PiecePlan {
    std::string name;
    std::function<std::vector<int64_t>(int64_t unit, int members)> pieces;
};
// Halves of chunks, whole stripes, tiny pieces, a mix of them and random sizes.
const std::vector<PiecePlan> &piece_plans();

// Writes a stream in the given pieces from per-device position write_offset (checking
// stripe_phase and chunk_fill after every call), waits, closes, checks every member byte
// for byte against the layout and reads the stream back through read-mode handles in two
// different cuttings. Reports through GoogleTest assertions.
void check_stream_round_trip(const StripedVolume &volume, const std::vector<int64_t> &pieces,
                             int64_t write_offset, uint64_t seed);

}  // namespace tio_test
