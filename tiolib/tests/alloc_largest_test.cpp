// The largest request the allocator grants now: on real header directories, a request of
// exactly that size is granted by writeDetLock and one byte more is refused.
#include "alloc_internal.h"
#include "det_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

using namespace det_fixture;

namespace {

struct LargestCase {
    const char *name;
    std::map<std::string, std::vector<Entry>> files;  // the directory's ".det" files
    int64_t largest;                                  // over all members, in bytes
};

void PrintTo(const LargestCase &c, std::ostream *out) { *out << c.name; }

class LargestRequest : public testing::TestWithParam<LargestCase> {
protected:
    HeaderDir dir;
    // 4 members, 64 KiB chunks, 16 MiB per member.
    std::unique_ptr<FsProps> props = makeProps(dir.path());
};

TEST_P(LargestRequest, IsGrantedAndOneByteMoreIsNot) {
    const LargestCase &c = GetParam();
    for (const auto &[name, entries] : c.files) writeEntries(dir.file(name), entries);
    const std::vector<std::string> before = dir.names();

    const int64_t largest = tio::largest_grantable_request(props.get());
    EXPECT_EQ(largest, c.largest);
    EXPECT_EQ(dir.names(), before) << "the question changes nothing";

    const std::string path = dir.file("new.det");
    EXPECT_GE(writeDetLock(props.get(), path.c_str(), largest), 0) << "exactly the largest request";
    std::remove(path.c_str());
    EXPECT_EQ(writeDetLock(props.get(), path.c_str(), largest + 1), -1) << "one byte more";
    std::remove(path.c_str());
}

// Per member: 16 MiB = 16384 KiB; an extent of length L spans L / 4 per member.
INSTANTIATE_TEST_SUITE_P(
    Directories, LargestRequest,
    testing::Values(
        LargestCase{"Empty", {}, 64 * MiB},
        LargestCase{"OneExtentAtTheStart", {{"a.det", {{0, 1 * MiB}}}}, (16384 - 256) * KiB * 4},
        // The largest gap lies between extents of two files.
        LargestCase{"GapBetweenFiles",
                    {{"a.det", {{0, 4 * MiB}}}, {"b.det", {{3 * MiB, 4 * MiB}}}, {"c.det", {{10 * MiB, 24 * MiB}}}},
                    6 * MiB * 4},
        // Free space only before the first extent: a multiple of the member count reaches
        // it from 0, any other size only from one chunk in.
        LargestCase{"GapOnlyAtTheStart", {{"a.det", {{4 * MiB, 48 * MiB}}}}, 16 * MiB},
        // A provisional entry of another writer and a reservation count as recorded.
        LargestCase{"ProvisionalAndReservationCount",
                    {{"other.det", {{-256 * KiB, 1 * MiB}}}, {"r_1.det", {{8 * MiB, 32 * MiB}}}},
                    8 * MiB * 4},
        LargestCase{"Full", {{"a.det", {{0, 64 * MiB}}}}, 0}),
    [](const testing::TestParamInfo<LargestCase> &info) { return std::string(info.param.name); });

TEST(LargestRequestFaults, UnlistableDirectoryGivesNone) {
    auto props = makeProps("/nonexistent/kel-headers");
    EXPECT_EQ(tio::largest_grantable_request(props.get()), -1);
}

}  // namespace
