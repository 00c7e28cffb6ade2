// The crash tests' hands on a volume inside the power-cut layer.
//
//   powercut_crash_tool write CONFIG PREFIX SEED BUDGET_BYTES
//       records data files PREFIX-0, PREFIX-1, ... through the engine for ever, each in one
//       to three extents of a size and write-call sizes drawn from SEED, and prints
//       "final NAME SIZE SEED" (flushed) as soon as its tio_finalize_det has returned. After
//       BUDGET_BYTES it prints "idle" and waits to be killed. Any failure ends it with status
//       1 and one line on standard error.
//   powercut_crash_tool check CONFIG
//       reads lines "NAME SIZE SEED" and prints "ok NAME" or "lost NAME REASON" for each: its
//       ".det" file must record SIZE bytes in allocated extents, and the members must hold
//       the pattern of SEED there, read by the layout.
//   powercut_crash_tool sync-failure CONFIG NAME SIZE
//       records one data file of SIZE bytes, then finalises it twice and closes the handle,
//       printing "step CALL" before and "result CALL VALUE" after each call (the engine's
//       messages in between), and "det-unchanged yes|no" after the first finalisation.
#include "data_file_reader.h"
#include "engine_handle.h"
#include "header_dir.h"
#include "member_devices.h"
#include "pattern.h"
#include "program.h"
#include "tio.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int64_t number(const std::string &text) {
    size_t used = 0;
    const long long value = std::stoll(text, &used);
    if (used != text.size()) throw kel::UsageError("not a number: " + text);
    return value;
}

struct Geometry {
    int64_t chunk = 0;
    int64_t stripe = 0;
    std::string header_dir;
};

Geometry geometry_of(const std::string &config) {
    const kel::VolumeProps props = kel::read_volume_props(config);
    return {props.chunk_bytes, props.chunk_bytes * props.members, props.header_dir};
}

// A recording's plan: the bytes of each extent (only the last reserves more than it
// holds) and the sizes of the write calls, taken in turn.
struct Plan {
    std::vector<int64_t> parts;
    int64_t last_slack = 0;
    std::vector<int64_t> calls;
    int64_t size() const {
        int64_t total = 0;
        for (int64_t part : parts) total += part;
        return total;
    }
};

Plan draw_plan(std::mt19937_64 &random, const Geometry &geometry) {
    const int64_t chunk = geometry.chunk, stripe = geometry.stripe;
    auto between = [&](int64_t low, int64_t high) { return low + static_cast<int64_t>(random() % (high - low + 1)); };
    int64_t size = 0;
    switch (random() % 4) {
    case 0: size = between(1, chunk); break;
    case 1: size = between(chunk, 2 * stripe); break;
    default: size = between(2 * stripe, 12 * stripe); break;
    }
    Plan plan;
    const int extents = static_cast<int>(std::min<int64_t>(size, 1 + static_cast<int64_t>(random() % 3)));
    for (int i = 0, left = static_cast<int>(extents); i < extents; ++i, --left) {
        const int64_t rest = size - plan.size();
        plan.parts.push_back(left == 1 ? rest : between(1, rest - (left - 1)));
    }
    plan.last_slack = random() % 2 ? between(0, stripe) : 0;
    const std::vector<int64_t> shapes{1, 4095, chunk - 1, chunk, chunk + 1, stripe + 3, 3 * chunk + 17, 2 * stripe};
    for (int i = 0; i < 6; ++i) plan.calls.push_back(random() % 3 ? shapes[random() % shapes.size()] : between(1, 2 * stripe));
    return plan;
}

std::string failed(const std::string &call, int64_t result) { return call + " returned " + std::to_string(result); }

struct Recording {
    std::string name;
    std::string det_path;
    uint64_t seed = 0;  // of the pattern it holds
    Plan plan;
};

// Records the data file through a handle of its own, saying "final NAME SIZE SEED" as soon
// as its finalisation returned; the empty text, or the call that failed.
std::string record(const std::string &config, const Recording &recording) {
    const Plan &plan = recording.plan;
    const std::string &det_path = recording.det_path;
    const std::vector<uint8_t> data = kel::pattern_bytes(recording.seed, plan.size());
    TioHandle *handle = tio_open();
    if (handle == nullptr) return "tio_open";
    std::string failure;
    int64_t result = tio_set_config(handle, config.c_str());
    if (result != 0) failure = failed("tio_set_config", result);
    if (failure.empty() && (result = tio_set_dir(handle, 1)) != 0) failure = failed("tio_set_dir", result);
    if (failure.empty() && (result = tio_init(handle)) != 0) failure = failed("tio_init", result);
    int64_t done = 0, reserved = 0;
    size_t call = 0;
    for (size_t extent = 0; failure.empty() && extent < plan.parts.size(); ++extent) {
        const bool last = extent + 1 == plan.parts.size();
        const int64_t reserve = plan.parts[extent] + (last ? plan.last_slack : 0);
        const int64_t offset = extent == 0 ? tio_write_det(handle, det_path.c_str(), reserve)
                                           : tio_update_det(handle, det_path.c_str(), reserve);
        if (offset < 0) failure = failed(extent == 0 ? "tio_write_det" : "tio_update_det", offset);
        else if ((result = tio_set_offset(handle, offset)) != 0) failure = failed("tio_set_offset", result);
        reserved += reserve;
        for (const int64_t end = done + plan.parts[extent]; failure.empty() && done < end;) {
            const int64_t length = std::min(plan.calls[call++ % plan.calls.size()], end - done);
            if ((result = tio_write(handle, data.data() + done, length)) != length) failure = failed("tio_write", result);
            done += length;
        }
    }
    if (failure.empty() && (result = tio_wait_threads(handle)) != 0) failure = failed("tio_wait_threads", result);
    // A finalisation cut off by the power may have committed before it could return.
    if (failure.empty()) {
        std::printf("finishing %s %lld %llu\n", recording.name.c_str(), static_cast<long long>(plan.size()),
                    static_cast<unsigned long long>(recording.seed));
        std::fflush(stdout);
    }
    // The final size never exceeds what was reserved, so the difference is never negative.
    if (failure.empty() && (result = tio_finalize_det(handle, det_path.c_str(), plan.size())) != reserved - plan.size())
        failure = failed("tio_finalize_det", result);
    if (failure.empty()) {
        std::printf("final %s %lld %llu\n", recording.name.c_str(), static_cast<long long>(plan.size()),
                    static_cast<unsigned long long>(recording.seed));
        std::fflush(stdout);
    }
    if ((result = tio_close(handle)) != 0 && failure.empty()) failure = failed("tio_close", result);
    return failure;
}

int write_for_ever(const std::vector<std::string> &args) {
    if (args.size() != 4) throw kel::UsageError("write CONFIG PREFIX SEED BUDGET_BYTES");
    const std::string &config = args[0];
    const Geometry geometry = geometry_of(config);
    std::mt19937_64 random(static_cast<uint64_t>(number(args[2])));
    const int64_t budget = number(args[3]);
    int64_t written = 0;
    for (int64_t index = 0; written < budget; ++index) {
        Recording recording;
        recording.name = args[1] + "-" + std::to_string(index);
        recording.det_path = geometry.header_dir + "/" + recording.name + ".det";
        recording.seed = random();
        recording.plan = draw_plan(random, geometry);
        const std::string failure = record(config, recording);
        if (!failure.empty()) throw std::runtime_error(recording.name + ": " + failure);
        written += recording.plan.size();
    }
    std::printf("idle\n");
    std::fflush(stdout);
    for (;;) pause();
}

// Why the data file does not hold SIZE bytes of the pattern of SEED; empty when it does.
std::string check_one(const kel::MemberDevices &members, const std::string &header_dir, const std::string &name,
                      int64_t size, uint64_t seed) {
    const kel::DetFile det = kel::read_det_file(kel::det_path_of(header_dir, name));
    if (det.state == kel::DetState::unreadable) return "its .det file is unreadable: " + det.error;
    if (det.file_bytes == 0 || det.file_bytes % 16 != 0)
        return "its .det file is torn or empty (" + std::to_string(det.file_bytes) + " bytes)";
    for (const DetEntry &entry : det.entries)
        if (entry.offset < 0) return "its .det file holds a provisional entry";
    const kel::DataFileExtents extents = kel::data_file_extents(det.entries);
    if (extents.size != size) return "it records " + std::to_string(extents.size) + " bytes";
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    const int64_t got = kel::read_data_file(members, extents, 0, size, bytes.data());
    if (got != size) return "reading it by the layout gave " + std::to_string(got);
    const int64_t mismatch = kel::first_pattern_mismatch(seed, 0, bytes.data(), size);
    return mismatch < 0 ? "" : "its bytes differ from byte " + std::to_string(mismatch);
}

int check(const std::vector<std::string> &args) {
    if (args.size() != 1) throw kel::UsageError("check CONFIG");
    const kel::VolumeProps props = kel::read_volume_props(args[0]);
    const kel::MemberDevices members(props);
    std::string name;
    long long size = 0;
    unsigned long long seed = 0;
    while (std::cin >> name >> size >> seed) {
        const std::string reason = check_one(members, props.header_dir, name, size, seed);
        if (reason.empty()) std::printf("ok %s\n", name.c_str());
        else std::printf("lost %s %s\n", name.c_str(), reason.c_str());
    }
    return 0;
}

std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "step CALL", the call, "result CALL VALUE", with standard output flushed around it so
// that the engine's messages fall in between.
int64_t step(const char *call, const std::function<int64_t()> &body) {
    std::printf("step %s\n", call);
    std::fflush(stdout);
    const int64_t result = body();
    std::fflush(stdout);
    std::printf("result %s %lld\n", call, static_cast<long long>(result));
    std::fflush(stdout);
    return result;
}

int sync_failure(const std::vector<std::string> &args) {
    if (args.size() != 3) throw kel::UsageError("sync-failure CONFIG NAME SIZE");
    const Geometry geometry = geometry_of(args[0]);
    const std::string det_path = geometry.header_dir + "/" + args[1] + ".det";
    const int64_t size = number(args[2]);
    const std::vector<uint8_t> data = kel::pattern_bytes(1, size);
    TioHandle *handle = tio_open();
    if (handle == nullptr || tio_set_config(handle, args[0].c_str()) != 0 || tio_set_dir(handle, 1) != 0 ||
        tio_init(handle) != 0)
        throw std::runtime_error("cannot open a write-mode handle on " + args[0]);
    const int64_t offset = tio_write_det(handle, det_path.c_str(), size);
    if (offset < 0 || tio_set_offset(handle, offset) != 0 || tio_write(handle, data.data(), size) != size ||
        tio_wait_threads(handle) != 0)
        throw std::runtime_error("cannot record " + det_path);
    const std::string before = file_bytes(det_path);
    step("finalize-1", [&] { return tio_finalize_det(handle, det_path.c_str(), size); });
    std::printf("det-unchanged %s\n", file_bytes(det_path) == before ? "yes" : "no");
    step("finalize-2", [&] { return tio_finalize_det(handle, det_path.c_str(), size); });
    step("close", [&] { return tio_close(handle); });
    return 0;
}

void print_usage(FILE *out) {
    std::fputs("usage: powercut_crash_tool write CONFIG PREFIX SEED BUDGET_BYTES | check CONFIG |\n"
               "       sync-failure CONFIG NAME SIZE\n",
               out);
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    return kel::run_program({"powercut_crash_tool", print_usage}, [&] {
        if (words.empty()) throw kel::UsageError("a command is needed");
        const std::vector<std::string> args(words.begin() + 1, words.end());
        if (words[0] == "write") return write_for_ever(args);
        if (words[0] == "check") return check(args);
        if (words[0] == "sync-failure") return sync_failure(args);
        throw kel::UsageError("unknown command " + words[0]);
    });
}
