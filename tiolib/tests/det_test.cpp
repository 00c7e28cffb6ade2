// ".det" files: the 16-byte little-endian records, counting, scanning a header directory,
// sorting and finalising, including the faults a concurrent rewrite or an odd directory
// entry would otherwise cause.
#include "det_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace det_fixture;

namespace {

std::vector<Entry> readEntries(const std::string &path, int32_t count) {
    std::vector<int64_t> offsets(count), lengths(count);
    EXPECT_EQ(readDet(path.c_str(), count, offsets.data(), lengths.data()), 0) << path;
    std::vector<Entry> entries;
    for (int32_t i = 0; i < count; ++i) entries.push_back({offsets[i], lengths[i]});
    return entries;
}

// The order an insertion sort gives that puts each entry before the first one with an
// equal or greater offset.
std::vector<Entry> referenceSort(std::vector<Entry> entries) {
    for (size_t i = 1; i < entries.size(); ++i) {
        const Entry taken = entries[i];
        size_t p = 0;
        while (p < i && entries[p].offset < taken.offset) ++p;
        entries.erase(entries.begin() + long(i));
        entries.insert(entries.begin() + long(p), taken);
    }
    return entries;
}

std::vector<Entry> sorted(std::vector<Entry> entries) {
    std::vector<int64_t> offsets, lengths;
    for (const Entry &e : entries) offsets.push_back(e.offset), lengths.push_back(e.length);
    EXPECT_EQ(sortDets(int32_t(entries.size()), offsets.data(), lengths.data()), 0);
    for (size_t i = 0; i < entries.size(); ++i) entries[i] = {offsets[i], lengths[i]};
    return entries;
}

}  // namespace

// ---- Records ---------------------------------------------------------------------------

TEST(DetRecords, WriteDetIsByteExactAndReadsBack) {
    HeaderDir dir;
    const std::vector<Entry> entries = {
        {0, 300}, {640 * KiB, 200}, {-256 * KiB, 1024 * KiB}, {INT64_MIN, -1}, {0x0102030405060708, 0x1112131415161718}};
    std::vector<int64_t> offsets, lengths;
    for (const Entry &e : entries) offsets.push_back(e.offset), lengths.push_back(e.length);
    const std::string path = dir.file("a.det");

    ASSERT_EQ(writeDet(path.c_str(), int32_t(entries.size()), offsets.data(), lengths.data()), 0);
    EXPECT_EQ(readFile(path), recordBytes(entries));
    EXPECT_EQ(readFile(path).substr(64, 16), std::string("\x08\x07\x06\x05\x04\x03\x02\x01"
                                                         "\x18\x17\x16\x15\x14\x13\x12\x11", 16));
    EXPECT_EQ(getDetEntries(path.c_str()), 5);
    EXPECT_EQ(readEntries(path, 5), entries);

    // Count 0 leaves an empty file, which has no entries; an uncreatable file gives -1.
    ASSERT_EQ(writeDet(path.c_str(), 0, offsets.data(), lengths.data()), 0);
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(getDetEntries(path.c_str()), 0);
    EXPECT_EQ(writeDet(dir.file("missing/a.det").c_str(), 1, offsets.data(), lengths.data()), -1);
}

TEST(DetRecords, WriteDetReportsAFullDisk) {
    int64_t offset = 1, length = 2;
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(writeDet("/dev/full", 1, &offset, &length), -1);
}

TEST(DetRecords, ReadDetStopsAtAShortFile) {
    HeaderDir dir;
    const std::string path = dir.file("a.det");
    writeEntries(path, {{1, 10}, {2, 20}});
    const int64_t poison = 0x5a5a5a5a;
    std::vector<int64_t> offsets(3, poison), lengths(3, poison);

    EXPECT_EQ(readDet(path.c_str(), 3, offsets.data(), lengths.data()), -5);
    EXPECT_EQ(offsets, (std::vector<int64_t>{1, 2, poison}));
    EXPECT_EQ(lengths, (std::vector<int64_t>{10, 20, poison}));
    EXPECT_EQ(readEntries(path, 1), (std::vector<Entry>{{1, 10}}));
    EXPECT_EQ(readDet(dir.file("none.det").c_str(), 1, offsets.data(), lengths.data()), -5);
}

TEST(DetRecords, EntriesFollowTheFileSize) {
    HeaderDir dir;
    struct Case {
        const char *name;
        int size;  // -1: no file
        int64_t file_size;
        int32_t entries;
    };
    for (const Case &c : {Case{"48.det", 48, 48, 3}, Case{"40.det", 40, 40, 0}, Case{"0.det", 0, 0, 0},
                          Case{"none.det", -1, -1, 0}}) {
        const std::string path = dir.file(c.name);
        if (c.size >= 0) writeFile(path, std::string(size_t(c.size), 'x'));
        EXPECT_EQ(getFileSize(path.c_str()), c.file_size) << c.name;
        EXPECT_EQ(getDetEntries(path.c_str()), c.entries) << c.name;
    }
}

TEST(DetRecords, AccumDetSizeSumsTheLengths) {
    HeaderDir dir;
    const std::string path = dir.file("a.det");
    writeEntries(path, {{0, 300}, {640 * KiB, 200}});
    int64_t total = -7;
    EXPECT_EQ(accumDetSize(path.c_str(), &total), 0);
    EXPECT_EQ(total, 500);
    EXPECT_EQ(accumDetSize(dir.file("none.det").c_str(), &total), -5);
    EXPECT_EQ(total, 0);
    writeFile(path, recordBytes({{0, 300}}) + "odd");  // not a multiple of 16: no entries
    EXPECT_EQ(accumDetSize(path.c_str(), &total), 0);
    EXPECT_EQ(total, 0);
}

TEST(DetRecords, IsExtMatchesTheEndOfTheName) {
    struct Case {
        const char *name;
        const char *extension;
        int32_t result;
    };
    for (const Case &c : {Case{"a.det", ".det", 1}, Case{".det", ".det", 0}, Case{"a.DET", ".det", -1},
                          Case{"det", ".det", -1}, Case{"r_12.det", ".det", 4}, Case{"a.det.tmp", ".det", -1},
                          Case{"", "", 0}})
        EXPECT_EQ(isExt(c.name, c.extension), c.result) << c.name << " " << c.extension;
}

// ---- Scanning a header directory ---------------------------------------------------------

// The worked count plus entries the scans must pass over: names that do not match, a file
// named exactly ".det", and entries that are not regular files (a directory, and a FIFO
// that would block a scan that opened it).
TEST(DetScan, CountDirCountsEntriesOfRegularDetFiles) {
    HeaderDir dir;
    writeFile(dir.file("a.det"), std::string(32, 'a'));
    writeFile(dir.file("b.det"), std::string(16, 'b'));
    writeFile(dir.file("notes.txt"), std::string(16, 'n'));
    writeFile(dir.file("d.det"), std::string(20, 'd'));
    EXPECT_EQ(countDir(dir.path().c_str(), ".det"), 3);

    writeFile(dir.file(".det"), std::string(16, 'x'));
    writeFile(dir.file("e.DET"), std::string(16, 'x'));
    ASSERT_EQ(mkdir(dir.file("sub.det").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.det").c_str(), 0644), 0);
    ASSERT_EQ(symlink(dir.file("b.det").c_str(), dir.file("link.det").c_str()), 0);
    EXPECT_EQ(countDir(dir.path().c_str(), ".det"), 4);  // the link counts as the file it names

    std::vector<int64_t> offsets(8, -1), lengths(8, -1);
    EXPECT_EQ(getAllDets(dir.path().c_str(), 8, offsets.data(), lengths.data()), 0);
}

TEST(DetScan, UnlistableDirectoryIsAnError) {
    int64_t offset = 0, length = 0;
    EXPECT_EQ(countDir("/nonexistent/tio-det", ".det"), -1);
    EXPECT_EQ(getAllDets("/nonexistent/tio-det", 1, &offset, &length), -1);
}

TEST(DetScan, GetAllDetsKeepsFilesTogetherAndRespectsCapacity) {
    HeaderDir dir;
    const std::vector<Entry> a = {{0, 1000 * KiB}};
    const std::vector<Entry> b = {{2048 * KiB, 400 * KiB}, {512 * KiB, 1024 * KiB}};
    writeEntries(dir.file("a.det"), a);
    writeEntries(dir.file("b.det"), b);

    std::vector<int64_t> offsets(3), lengths(3);
    ASSERT_EQ(getAllDets(dir.path().c_str(), 3, offsets.data(), lengths.data()), 0);
    std::vector<Entry> got;
    for (int i = 0; i < 3; ++i) got.push_back({offsets[i], lengths[i]});
    // Listing order decides which file comes first; each file's entries stay in order.
    const bool a_first = got[0] == a[0];
    std::vector<Entry> expected = a_first ? a : b;
    for (const Entry &e : a_first ? b : a) expected.push_back(e);
    EXPECT_EQ(got, expected);

    EXPECT_EQ(getAllDets(dir.path().c_str(), 2, offsets.data(), lengths.data()), -5);
    // Capacity reached and one more ".det" file found, even one without entries: -5.
    HeaderDir other;
    EXPECT_EQ(getAllDets(other.path().c_str(), 0, offsets.data(), lengths.data()), 0);
    writeFile(other.file("empty.det"), "");
    EXPECT_EQ(getAllDets(other.path().c_str(), 0, offsets.data(), lengths.data()), -5);
    EXPECT_EQ(getAllDets(other.path().c_str(), 1, offsets.data(), lengths.data()), 0);
}

// A file that announces 256 entries but yields a few bytes is left out: no slot is filled
// from it, and the entries of the other files are all there.
TEST(DetScan, FileReadShortIsLeftOut) {
    const std::string odd = shortReadingFile();
    if (odd.empty()) GTEST_SKIP() << "no short-reading file available";
    HeaderDir dir;
    writeEntries(dir.file("a.det"), {{0, 1000 * KiB}});
    writeEntries(dir.file("b.det"), {{512 * KiB, 1024 * KiB}, {2048 * KiB, 400 * KiB}});
    ASSERT_EQ(symlink(odd.c_str(), dir.file("sys.det").c_str()), 0);

    const int32_t counted = countDir(dir.path().c_str(), ".det");
    ASSERT_EQ(counted, 3 + 256);
    const int64_t poison = 0x7a7a7a7a;
    std::vector<int64_t> offsets(size_t(counted), poison), lengths(size_t(counted), poison);
    ASSERT_EQ(getAllDets(dir.path().c_str(), counted, offsets.data(), lengths.data()), 0);
    std::vector<Entry> got;
    for (int i = 0; i < 3; ++i) got.push_back({offsets[i], lengths[i]});
    std::sort(got.begin(), got.end(), [](const Entry &x, const Entry &y) { return x.offset < y.offset; });
    EXPECT_EQ(got, (std::vector<Entry>{{0, 1000 * KiB}, {512 * KiB, 1024 * KiB}, {2048 * KiB, 400 * KiB}}));
    EXPECT_TRUE(std::all_of(offsets.begin() + 3, offsets.end(), [&](int64_t v) { return v == poison; }));
    EXPECT_TRUE(std::all_of(lengths.begin() + 3, lengths.end(), [&](int64_t v) { return v == poison; }));
}

// ---- Sorting ---------------------------------------------------------------------------

TEST(DetSort, EqualOffsetsEndInReverseInputOrder) {
    EXPECT_EQ(sorted({{5, 10}, {3, 20}, {5, 30}}), (std::vector<Entry>{{3, 20}, {5, 30}, {5, 10}}));
    EXPECT_EQ(sorted({{7, 1}, {7, 2}, {7, 3}, {-7, 4}}), (std::vector<Entry>{{-7, 4}, {7, 3}, {7, 2}, {7, 1}}));
    EXPECT_EQ(sorted({}), std::vector<Entry>{});
    int64_t offset = 1, length = 1;
    EXPECT_EQ(sortDets(-3, &offset, &length), 0);
}

TEST(DetSort, MatchesTheInsertionSortOnRandomInput) {
    std::mt19937_64 random(20261210);
    for (int trial = 0; trial < 300; ++trial) {
        const size_t count = random() % 60;
        const int64_t spread = 1 + int64_t(random() % 12);  // small spreads force many ties
        std::vector<Entry> entries;
        for (size_t i = 0; i < count; ++i)
            entries.push_back({int64_t(random() % spread) - spread / 2, int64_t(i)});
        ASSERT_EQ(sorted(entries), referenceSort(entries)) << "trial " << trial;
    }
}

TEST(DetSort, SortsALargeDirectoryQuickly) {
    // A million entries take well under a second to sort in O(n log n), and a few seconds
    // under the sanitizers; a quadratic sort needs many minutes. The bound only has to tell
    // the two apart on a loaded machine, so it is far from what a good sort takes.
    constexpr int32_t count = 1000000;
    std::mt19937_64 random(7);
    std::vector<int64_t> offsets(count), lengths(count);
    for (int32_t i = 0; i < count; ++i) offsets[i] = int64_t(random() % 250000), lengths[i] = i;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(sortDets(count, offsets.data(), lengths.data()), 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 60.0) << "a quadratic sort takes many minutes here";
    for (int32_t i = 1; i < count; ++i) {
        ASSERT_LE(offsets[i - 1], offsets[i]);
        if (offsets[i - 1] == offsets[i]) {
            ASSERT_GT(lengths[i - 1], lengths[i]);  // reverse input order
        }
    }
}

// ---- Finalising ------------------------------------------------------------------------

TEST(DetFinalize, LastLengthMadeToAddUpToTheFinalSize) {
    HeaderDir dir;
    auto props = makeProps(dir.path());
    struct Case {
        int64_t final_size;
        int64_t result;
        std::vector<Entry> after;
    };
    for (const Case &c : {Case{500, 100, {{0, 300}, {640, 200}}}, Case{700, -100, {{0, 300}, {640, 400}}}}) {
        const std::string path = dir.file("a.det");
        writeEntries(path, {{0, 300}, {640, 300}});
        EXPECT_EQ(finalizeDet(props.get(), path.c_str(), c.final_size), c.result);
        EXPECT_EQ(readFile(path), recordBytes(c.after));
    }
}

struct FinalCase {
    const char *name;
    bool configured;       // false: no configuration given
    std::vector<Entry> before;
    int64_t final_size;
    int64_t result;
    std::vector<Entry> after;  // refused: the file stays as before
    const char *refusal;       // what the one line says; nullptr: accepted, nothing printed
};

// On the 4 members with 64 KiB chunks of the examples, the last extent may grow only as
// far as the space reserved for it, its per-device span raised to the chunk on every
// member; it may not become negative, and a final size may not be. A refusal prints one
// line and leaves the file as it was.
TEST(DetFinalize, NeverClaimsSpaceThatWasNotReserved) {
    const std::vector<FinalCase> cases = {
        {"TenTimesItsOneExtent", true, {{0, 1 * MiB}}, 10 * MiB, -1, {{0, 1 * MiB}},
         "its last extent would hold 10485760 bytes, more than the 1048576 reserved for it"},
        {"UpToTheChunkItEndsIn", true, {{0, 1000}}, 256 * KiB, 1000 - 256 * KiB, {{0, 256 * KiB}}, nullptr},
        {"OneByteBeyondIt", true, {{0, 1000}}, 256 * KiB + 1, -1, {{0, 1000}},
         "its last extent would hold 262145 bytes, more than the 262144 reserved for it"},
        {"MaximalFinalSize", true, {{0, 1 * MiB}}, INT64_MAX, -1, {{0, 1 * MiB}}, "more than the 1048576 reserved"},
        {"NegativeFinalSize", true, {{0, 300}}, -1, -1, {{0, 300}}, "a size cannot be negative"},
        {"BelowTheExtentsBeforeTheLast", true, {{0, 300}, {640 * KiB, 300}}, 200, -1, {{0, 300}, {640 * KiB, 300}},
         "the extents before the last already hold 300 bytes"},
        {"LastExtentEmptied", true, {{0, 300}, {640 * KiB, 300}}, 300, 300, {{0, 300}, {640 * KiB, 0}}, nullptr},
        {"UnconfiguredMayShrink", false, {{0, 1000}}, 500, 500, {{0, 500}}, nullptr},
        {"UnconfiguredMayNotGrow", false, {{0, 1000}}, 1001, -1, {{0, 1000}}, "more than the 1000 reserved"},
    };
    for (const FinalCase &c : cases) {
        HeaderDir dir;
        auto props = makeProps(dir.path());
        const std::string path = dir.file("a.det");
        writeEntries(path, c.before);
        StdoutCapture output;
        EXPECT_EQ(finalizeDet(c.configured ? props.get() : nullptr, path.c_str(), c.final_size), c.result) << c.name;
        const std::string text = output.finish();
        EXPECT_EQ(readFile(path), recordBytes(c.after)) << c.name;
        if (!c.refusal) {
            EXPECT_EQ(text, "") << c.name;
            continue;
        }
        EXPECT_EQ(tio_test::count_error_lines(text), 1) << c.name << ": " << text;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << c.name << ": " << text;
        EXPECT_NE(text.find("'" + path + "'"), std::string::npos) << c.name << ": " << text;
        EXPECT_NE(text.find(c.refusal), std::string::npos) << c.name << ": " << text;
    }
}

// The example of the fault through the handle: one 1 MiB extent finalised to 10 MiB would
// have run into the data file allocated right behind it.
TEST(DetFinalize, HandleRefusesToRunIntoTheNeighbour) {
    HeaderDir dir;
    auto props = makeProps(dir.path());
    FakeHandle handle(props.get());
    ASSERT_EQ(writeDetLock(props.get(), dir.file("a.det").c_str(), 1 * MiB), 0);
    ASSERT_EQ(writeDetLock(props.get(), dir.file("b.det").c_str(), 1 * MiB), 256 * KiB);
    StdoutCapture output;
    EXPECT_EQ(tio_finalize_det(&handle.handle, dir.file("a.det").c_str(), 10 * MiB), -1);
    EXPECT_EQ(tio_test::count_error_lines(output.finish()), 1);
    EXPECT_EQ(readFile(dir.file("a.det")), recordBytes({{0, 1 * MiB}}));
    EXPECT_EQ(tio_finalize_det(&handle.handle, dir.file("a.det").c_str(), 1 * MiB - 10), 10);
}

// The file is replaced by rename: it keeps its permissions, a symbolic link keeps pointing
// at the rewritten file, and no temporary file is left behind.
TEST(DetFinalize, RewritesAtomicallyThroughARename) {
    HeaderDir dir;
    auto props = makeProps(dir.path());
    const std::string path = dir.file("a.det");
    writeEntries(path, {{0, 300}, {640, 300}});
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(symlink(path.c_str(), dir.file("link.det").c_str()), 0);
    const int64_t inode = inodeOf(path);

    EXPECT_EQ(finalizeDet(props.get(), dir.file("link.det").c_str(), 500), 100);
    EXPECT_EQ(readFile(path), recordBytes({{0, 300}, {640, 200}}));
    EXPECT_NE(inodeOf(path), inode);
    EXPECT_EQ(modeOf(path), 0640u);
    struct stat link_info;
    ASSERT_EQ(lstat(dir.file("link.det").c_str(), &link_info), 0);
    EXPECT_TRUE(S_ISLNK(link_info.st_mode));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"a.det", "link.det"}));
}

TEST(DetFinalize, FilesWithoutReadableEntriesAreNotRewritten) {
    HeaderDir dir;
    auto props = makeProps(dir.path());
    const std::string odd_size = dir.file("odd.det"), empty = dir.file("empty.det");
    writeFile(odd_size, std::string(40, 'x'));
    writeFile(empty, "");
    EXPECT_EQ(finalizeDet(props.get(), odd_size.c_str(), 500), -1);
    EXPECT_EQ(readFile(odd_size), std::string(40, 'x'));
    EXPECT_EQ(finalizeDet(props.get(), empty.c_str(), 500), -1);
    EXPECT_EQ(readFile(empty), "");
    EXPECT_EQ(finalizeDet(props.get(), dir.file("none.det").c_str(), 500), -1);
    EXPECT_FALSE(exists(dir.file("none.det")));

    const std::string short_reading = shortReadingFile();
    if (short_reading.empty()) return;
    const std::string link = dir.file("sys.det");
    ASSERT_EQ(symlink(short_reading.c_str(), link.c_str()), 0);
    EXPECT_EQ(finalizeDet(props.get(), link.c_str(), 500), -5);
    struct stat link_info;
    ASSERT_EQ(lstat(link.c_str(), &link_info), 0);
    EXPECT_TRUE(S_ISLNK(link_info.st_mode));
}

// A reader polling the file while it is finalised again and again only ever sees the
// whole file: never empty, never a size that is not a multiple of 16.
TEST(DetFinalize, ConcurrentReaderSeesWholeFiles) {
    HeaderDir dir;
    auto props = makeProps(dir.path());
    const std::string path = dir.file("a.det");
    std::vector<Entry> entries;
    for (int i = 0; i < 64; ++i) entries.push_back({i * 1024, 4096});
    writeEntries(path, entries);
    const int64_t size = int64_t(entries.size()) * 16;

    std::atomic<bool> stop{false};
    std::atomic<int64_t> samples{0}, bad_samples{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const int64_t seen = getFileSize(path.c_str());
            ++samples;
            if (seen != size) ++bad_samples;
        }
    });
    for (int round = 0; round < 200; ++round)
        ASSERT_NE(finalizeDet(props.get(), path.c_str(), 63 * 4096 + (round % 2 ? 100 : 4000)), -1);
    stop = true;
    reader.join();
    EXPECT_GT(samples.load(), 0);
    EXPECT_EQ(bad_samples.load(), 0);
}

TEST(DetFinalize, HandleIsChecked) {
    HeaderDir dir;
    auto props = makeProps(dir.path());
    const std::string path = dir.file("a.det");
    writeEntries(path, {{0, 300}, {640, 300}});
    FakeHandle good(props.get());
    EXPECT_EQ(tio_finalize_det(&good.handle, path.c_str(), 500), 100);

    FakeHandle stomped(props.get());
    stomped.handle.magic = 0xdeadbeef;
    StdoutCapture output;
    EXPECT_EQ(tio_finalize_det(&stomped.handle, path.c_str(), 700), -1);
    EXPECT_EQ(tio_finalize_det(nullptr, path.c_str(), 700), -1);
    EXPECT_EQ(output.finish(), "Error! Magic number doesn't match. Something has stomped on our memory block\n"
                             "Error! Magic number doesn't match. Something has stomped on our memory block\n");
    EXPECT_EQ(readFile(path), recordBytes({{0, 300}, {640, 200}}));
}
