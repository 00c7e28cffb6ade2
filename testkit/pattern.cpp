#include "pattern.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kel {
namespace {

constexpr int64_t kWordBytes = 8;

// splitmix64 of a counter: each 8-byte word depends only on its index, which gives
// random access into the stream at a few cycles per word.
uint64_t pattern_word(uint64_t seed, uint64_t word_index) {
    uint64_t z = seed + (word_index + 1) * 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Copies bytes [skip, skip + take) of word word_index into destination.
void copy_word_part(uint64_t seed, int64_t word_index, int64_t skip, int64_t take,
                    uint8_t *destination) {
    const uint64_t word = pattern_word(seed, static_cast<uint64_t>(word_index));
    // Byte order of the word is the host's; the stream only has to be reproducible here.
    std::memcpy(destination, reinterpret_cast<const uint8_t *>(&word) + skip,
                static_cast<size_t>(take));
}

}  // namespace

void fill_pattern(uint64_t seed, int64_t stream_offset, uint8_t *destination, int64_t length) {
    int64_t done = 0;
    const int64_t head_skip = stream_offset % kWordBytes;
    if (head_skip != 0 && length > 0) {
        done = std::min(kWordBytes - head_skip, length);
        copy_word_part(seed, stream_offset / kWordBytes, head_skip, done, destination);
    }
    // Whole words with a fixed-size copy: this loop is where the time goes.
    int64_t word_index = (stream_offset + done) / kWordBytes;
    for (; length - done >= kWordBytes; done += kWordBytes, ++word_index) {
        const uint64_t word = pattern_word(seed, static_cast<uint64_t>(word_index));
        std::memcpy(destination + done, &word, sizeof word);
    }
    if (done < length) copy_word_part(seed, word_index, 0, length - done, destination + done);
}

std::vector<uint8_t> pattern_bytes(uint64_t seed, int64_t length) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    fill_pattern(seed, 0, bytes.data(), length);
    return bytes;
}

int64_t first_pattern_mismatch(uint64_t seed, int64_t stream_offset, const uint8_t *data,
                               int64_t length) {
    constexpr int64_t kBlockBytes = 1 << 20;
    std::vector<uint8_t> expected(static_cast<size_t>(std::min(length, kBlockBytes)));
    for (int64_t done = 0; done < length; done += kBlockBytes) {
        const int64_t block = std::min(kBlockBytes, length - done);
        fill_pattern(seed, stream_offset + done, expected.data(), block);
        if (std::memcmp(expected.data(), data + done, static_cast<size_t>(block)) == 0) continue;
        for (int64_t i = 0; i < block; ++i) {
            if (expected[static_cast<size_t>(i)] != data[done + i]) return done + i;
        }
    }
    return -1;
}

}  // namespace kel
