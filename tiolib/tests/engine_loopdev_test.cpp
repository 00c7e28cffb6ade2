// The same streams on real block devices: loop devices over sparse files, attached and
// detached by the test, buffered and with direct I/O. Skipped where loop devices cannot
// be attached (not root, no loop support).
#include "handles.h"
#include "loop_device.h"
#include "output_capture.h"
#include "pattern.h"
#include "streams.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace tio_test;

namespace {

struct DeviceCase {
    int members;
    int workers;
    size_t plan;
    bool direct_io = false;  // "DIRECTIO=1": the devices opened with O_DIRECT
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
    const Geometry geometry{.members = c.members, .workers = c.workers, .start_sector = 16};
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
        kel::make_sparse_file(backing, device_size);
        devices.push_back(std::make_unique<LoopDevice>(backing));
        ASSERT_TRUE(devices.back()->attached()) << devices.back()->error();
        paths.push_back(devices.back()->path());
    }
    StripedVolume volume(dir, geometry, paths);
    if (c.direct_io) enable_direct_io(volume.config_path());
    check_stream_round_trip(volume, pieces, write_offset, 77 + c.plan);
}

std::vector<DeviceCase> device_cases() {
    std::vector<DeviceCase> cases;
    for (int members : {4, 5})
        for (int workers : {1, 2, 3})
            for (size_t plan : {size_t(0), size_t(3)}) cases.push_back({members, workers, plan});
    for (int members : {4, 5})
        for (size_t plan : {size_t(0), size_t(2), size_t(3)}) cases.push_back({members, 2, plan, true});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Loop, LoopDeviceStream, testing::ValuesIn(device_cases()),
                         [](const testing::TestParamInfo<DeviceCase> &info) {
                             return "S" + std::to_string(info.param.members) + "_T" +
                                    std::to_string(info.param.workers) + "_" +
                                    piece_plans()[info.param.plan].name + (info.param.direct_io ? "_Direct" : "");
                         });

// A member device that ends inside one of its chunks: the writes past its end fail and
// are reported, everything before the end lands, and reading back fails with one line
// naming the device while copying exactly what it delivers (part of that chunk, nothing
// after it).
TEST_F(LoopDeviceStream, EndOfADeviceInsideAChunk) {
    if (!unavailable_->empty()) GTEST_SKIP() << "loop devices unavailable: " << *unavailable_;
    ScratchDir dir;
    const Geometry geometry{.members = 4, .workers = 2};
    const int64_t unit = geometry.chunk_bytes();
    const int short_member = 1;
    const int64_t base = geometry.start_sector * 512 + geometry.member_offset_bytes(short_member);
    const int64_t short_size = base + 5 * unit + 1024;  // rows 0-4 whole, row 5 partly
    ASSERT_EQ(short_size % 512, 0);
    const std::vector<uint8_t> stream = kel::pattern_bytes(91, 32 * unit);  // 8 rows
    std::vector<std::unique_ptr<LoopDevice>> devices;
    std::vector<std::string> paths;
    std::vector<int64_t> sizes;
    for (int m = 0; m < 4; ++m) {
        const std::string backing = dir.file("backing" + std::to_string(m));
        sizes.push_back(m == short_member ? short_size : int64_t(1) << 20);
        kel::make_sparse_file(backing, sizes.back());
        devices.push_back(std::make_unique<LoopDevice>(backing));
        ASSERT_TRUE(devices.back()->attached()) << devices.back()->error();
        paths.push_back(devices.back()->path());
    }
    StripedVolume volume(dir, geometry, paths);
    Watchdog watchdog(std::chrono::seconds(120), "writing past the end of a device");

    std::string why;
    Handle writer = open_at(volume.config_path(), 1, 0);
    ASSERT_TRUE(writer);
    StdoutCapture capture;
    const bool written = write_in_pieces(writer.get(), stream, {11 * unit + 5, 21 * unit - 5}, &why);
    const int32_t waited = tio_wait_threads(writer.get());
    const int32_t closed = writer.close();
    const std::string printed = capture.finish();
    ASSERT_TRUE(written) << why;
    EXPECT_EQ(waited, -1);
    EXPECT_EQ(count_error_lines(printed), 1) << printed;
    EXPECT_EQ(closed, 0);

    auto expected = expected_member_images(geometry, 0, stream);
    expected[short_member].resize(size_t(short_size));
    expect_members_hold(volume, expected);

    Handle reader = open_at(volume.config_path(), -1, 0);
    ASSERT_TRUE(reader);
    ASSERT_EQ(tio_launch_read_threads(reader.get(), int64_t(stream.size())), 0);
    const uint8_t poison = 0xC5;
    std::vector<uint8_t> back(stream.size(), poison);
    StdoutCapture read_capture;
    EXPECT_EQ(tio_read(reader.get(), back.data(), int64_t(back.size())), -1);
    const std::string read_printed = read_capture.finish();
    EXPECT_EQ(count_error_lines(read_printed), 1) << read_printed;
    EXPECT_NE(read_printed.find(devices[short_member]->path()), std::string::npos) << read_printed;
    EXPECT_EQ(tio_join_threads(reader.get()), 0);
    EXPECT_EQ(reader.close(), 0);
    for (int64_t k = 0; k < 32; ++k) {
        const int64_t row_start = base + (k / 4) * unit;
        const int64_t delivered =
            k % 4 == short_member ? std::clamp<int64_t>(short_size - row_start, 0, unit) : unit;
        const auto chunk = back.begin() + k * unit;
        EXPECT_TRUE(std::equal(chunk, chunk + delivered, stream.begin() + k * unit)) << "chunk " << k;
        EXPECT_TRUE(std::all_of(chunk + delivered, chunk + unit, [&](uint8_t b) { return b == poison; }))
            << "chunk " << k << ": " << delivered << " bytes delivered and nothing more";
    }
}

}  // namespace
