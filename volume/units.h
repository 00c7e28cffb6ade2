// Sizes as the programs name them on their command lines and in the device table.
#pragma once

#include <cstdint>

namespace kel {

constexpr int64_t kSectorBytes = 512;  // the device table counts these
constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// A rate in MiB per second; 0 for a time too short to measure.
inline double mib_per_second(int64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / kMiB / seconds : 0.0;
}

}  // namespace kel
