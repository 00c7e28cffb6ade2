// Engine messages: a program linking the static engine can take them off standard output,
// every message reaches its sink whole, and the default stays standard output.
#include "report.h"
#include "files.h"
#include "output_capture.h"
#include "tio.h"
#include "volume_writer.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

using namespace tio_test;

namespace {

std::mutex received_mutex;
std::vector<std::string> received;

void keep_message(std::string_view message) {
    std::lock_guard<std::mutex> lock(received_mutex);
    received.emplace_back(message);
}

// Routes the engine's messages into `received` while it lives.
class CollectedMessages {
public:
    CollectedMessages() {
        received.clear();
        tio::set_report_sink(keep_message);
    }
    ~CollectedMessages() { tio::set_report_sink(nullptr); }
    CollectedMessages(const CollectedMessages &) = delete;
    CollectedMessages &operator=(const CollectedMessages &) = delete;
};

const char kHandleCheck[] = "Error! Magic number doesn't match. Something has stomped on our memory block\n";

TEST(Report, ASinkReceivesEachMessageWholeAndStandardOutputNothing) {
    ScratchDir dir;
    const std::string incomplete = dir.file("incomplete.conf");
    kel::write_text_file(incomplete, "TYPE=RAID");
    // A path longer than any fixed line buffer must not be cut.
    const std::string long_path = dir.path() + "/" + std::string(3000, 'p') + ".conf";
    StdoutCapture capture;
    {
        CollectedMessages messages;
        EXPECT_EQ(tio_set_dir(nullptr, 1), -1);
        char type[TIO_TYPE_SIZE], path[4][TIO_PATH_SIZE];
        int64_t extend = 0;
        int32_t threads = 0;
        EXPECT_EQ(read_config(incomplete.c_str(), type, path[0], path[1], path[2], path[3], &extend, &threads), -1);
        EXPECT_EQ(read_config(long_path.c_str(), type, path[0], path[1], path[2], path[3], &extend, &threads), -1);
        ASSERT_EQ(received.size(), 3u);
        EXPECT_EQ(received[0], kHandleCheck);
        // The usage text is one message of many lines, from its leading empty line to its
        // trailing one.
        EXPECT_EQ(received[1].rfind("\nError! Missing field(s)!", 0), 0u) << received[1];
        EXPECT_EQ(received[1].substr(received[1].size() - 20), "VKUSER=<user_name>\n\n");
        EXPECT_EQ(received[2], "Error! Error reading configuration file: " + long_path +
                                   "! Make sure file exists with correct permissions!\n");
    }
    EXPECT_EQ(capture.finish(), "");
}

TEST(Report, WithoutASinkMessagesGoToStandardOutput) {
    {
        CollectedMessages messages;
    }
    StdoutCapture capture;
    EXPECT_EQ(tio_init(nullptr), -1);
    EXPECT_EQ(capture.finish(), kHandleCheck);
}

}  // namespace
