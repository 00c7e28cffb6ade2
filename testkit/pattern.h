// A deterministic pseudo-random byte stream that can be generated from any offset, so
// that data written through the engine can be regenerated later to check what came back.
#pragma once

#include <cstdint>
#include <vector>

namespace kel {

// Writes bytes [stream_offset, stream_offset + length) of the stream named by seed.
void fill_pattern(uint64_t seed, int64_t stream_offset, uint8_t *destination, int64_t length);

// The first length bytes of the stream named by seed.
std::vector<uint8_t> pattern_bytes(uint64_t seed, int64_t length);

// Offset (from stream_offset) of the first byte of data that differs from the stream,
// or -1 when all length bytes match.
int64_t first_pattern_mismatch(uint64_t seed, int64_t stream_offset, const uint8_t *data,
                               int64_t length);

}  // namespace kel
