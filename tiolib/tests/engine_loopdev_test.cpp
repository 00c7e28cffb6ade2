// The same streams on real block devices: loop devices over sparse files, attached and
// detached by the test. Skipped where loop devices cannot be attached (not root, no
// loop support).
#include "volume_fixture.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tio_test;

namespace {

struct DeviceCase {
    int members;
    int workers;
    size_t plan;
};

class LoopDeviceStream : public testing::TestWithParam<DeviceCase> {
protected:
    static void SetUpTestSuite() { unavailable_ = new std::string(LoopDevice::unavailable_reason()); }
    static void TearDownTestSuite() {
        delete unavailable_;
        unavailable_ = nullptr;
    }
    static std::string *unavailable_;
};
std::string *LoopDeviceStream::unavailable_ = nullptr;

TEST_P(LoopDeviceStream, LandsRoundRobinOnEveryDeviceAndReadsBack) {
    if (!unavailable_->empty()) GTEST_SKIP() << "loop devices unavailable: " << *unavailable_;
    const DeviceCase &c = GetParam();
    ScratchDir dir;
    Geometry geometry;
    geometry.members = c.members;
    geometry.workers = c.workers;
    geometry.start_sector = 16;
    const int64_t unit = geometry.chunk_bytes();
    const std::vector<int64_t> pieces = piece_plans()[c.plan].pieces(unit, c.members);
    int64_t total = 0;
    for (int64_t piece : pieces) total += piece;
    const int64_t write_offset = 4 * unit;

    // Each device holds its rows of the stream with room to spare past the end, so a
    // byte written beyond its place would still be seen.
    const int64_t rows = (total / unit) / c.members + 1;
    const int64_t needed = geometry.start_sector * 512 +
                           geometry.member_offset_bytes(c.members - 1) + write_offset + rows * unit;
    const int64_t device_size = (needed / (1 << 16) + 2) * (1 << 16);
    std::vector<std::unique_ptr<LoopDevice>> devices;
    std::vector<std::string> paths;
    for (int m = 0; m < c.members; ++m) {
        const std::string backing = dir.file("backing" + std::to_string(m));
        make_sparse(backing, device_size);
        devices.push_back(std::make_unique<LoopDevice>(backing));
        ASSERT_TRUE(devices.back()->attached()) << devices.back()->error();
        paths.push_back(devices.back()->path());
    }
    StripedVolume volume(dir, geometry, paths);
    check_stream_round_trip(volume, pieces, write_offset, 77 + c.plan);
}

std::vector<DeviceCase> device_cases() {
    std::vector<DeviceCase> cases;
    for (int members : {4, 5})
        for (int workers : {1, 2, 3})
            for (size_t plan : {size_t(0), size_t(3)}) cases.push_back({members, workers, plan});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Loop, LoopDeviceStream, testing::ValuesIn(device_cases()),
                         [](const testing::TestParamInfo<DeviceCase> &info) {
                             return "S" + std::to_string(info.param.members) + "_T" +
                                    std::to_string(info.param.workers) + "_" +
                                    piece_plans()[info.param.plan].name;
                         });

}  // namespace
