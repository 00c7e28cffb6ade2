// The kelfs tests' hands on a volume: makes volumes of member files and records data
// files into them through the engine, as a recording program does.
//
//   volume_tool volume DIR MEMBERS CHUNK_BYTES MEMBER_BYTES [START_SECTORS OFFSET_SECTORS...]
//       makes the volume in the existing empty directory DIR and prints its configuration
//       file's path; with START_SECTORS the device table starts there and member m's data
//       at the m-th OFFSET_SECTORS (its member file is that much longer).
//   volume_tool record CONFIG STEP...
//       new:NAME:SOURCE:FROM:BYTES[:RESERVE]   the first extent of data file NAME
//       grow:NAME:SOURCE:FROM:BYTES[:RESERVE]  one more extent (tio_update_det)
//       finalize:NAME:SIZE                     the recorded lengths made to add up to SIZE
//     An extent reserves RESERVE bytes (default BYTES) and is written with bytes
//     [FROM, FROM + BYTES) of the file SOURCE, in write calls of uneven sizes.
#include "data_file_recorder.h"
#include "engine_handle.h"
#include "program.h"
#include "volume_writer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
    return parts;
}

int64_t number(const std::string &text) {
    size_t used = 0;
    const long long value = std::stoll(text, &used);
    if (used != text.size()) throw kel::UsageError("not a number: " + text);
    return value;
}

int make_volume(const std::vector<std::string> &args) {
    if (args.size() < 4) throw kel::UsageError("volume DIR MEMBERS CHUNK_BYTES MEMBER_BYTES [START OFFSETS...]");
    kel::VolumeGeometry geometry;
    geometry.members = static_cast<int>(number(args[1]));
    geometry.chunk_bytes = number(args[2]);
    geometry.member_bytes = number(args[3]);
    geometry.workers = 2;
    kel::VolumeFiles files = kel::create_volume(args[0], geometry);
    if (args.size() > 4) {
        if (args.size() != 5 + files.member_paths.size()) throw kel::UsageError("one offset per member");
        kel::DeviceTable table{number(args[4]), geometry.members * geometry.member_bytes / kel::kSectorBytes,
                               geometry.chunk_bytes / kel::kSectorBytes, {}};
        for (size_t m = 0; m < files.member_paths.size(); ++m) {
            const int64_t offset_sectors = number(args[5 + m]);
            table.members.push_back({files.member_paths[m], offset_sectors});
            kel::make_sparse_file(files.member_paths[m],
                                  table.start_sectors * kel::kSectorBytes + offset_sectors * kel::kSectorBytes +
                                      geometry.member_bytes);
        }
        kel::write_device_table(files.table_path, table);
    }
    std::printf("%s\n", files.config_path.c_str());
    return 0;
}

std::vector<uint8_t> read_source(const std::string &path, int64_t from, int64_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data(static_cast<size_t>(bytes));
    in.seekg(from);
    in.read(reinterpret_cast<char *>(data.data()), bytes);
    if (in.gcount() != bytes) throw std::runtime_error("cannot read " + std::to_string(bytes) + " bytes of " + path);
    return data;
}

// Sizes that cut chunks and stripes in every way.
std::vector<int64_t> uneven_call_sizes(const kel::VolumeProps &volume) {
    const int64_t chunk = volume.chunk_bytes, stripe = chunk * volume.members;
    return {chunk * 5 / 2, 1, chunk - 1, stripe + 3, 4097, 3 * chunk + 17, 65537, 2 * stripe - 5};
}

int record(const std::vector<std::string> &args) {
    if (args.size() < 2) throw kel::UsageError("record CONFIG STEP...");
    const kel::VolumeProps volume = kel::read_volume_props(args[0]);
    kel::DataFileRecorder recorder(args[0], uneven_call_sizes(volume));
    for (size_t i = 1; i < args.size(); ++i) {
        const std::vector<std::string> step = split(args[i], ':');
        const std::string det_path = step.size() > 1 ? volume.header_dir + "/" + step[1] + ".det" : "";
        if ((step[0] == "new" || step[0] == "grow") && (step.size() == 5 || step.size() == 6)) {
            const int64_t bytes = number(step[4]);
            const std::vector<uint8_t> data = read_source(step[2], number(step[3]), bytes);
            recorder.add_extent(det_path, step[0] == "new", step.size() == 6 ? number(step[5]) : bytes, data.data(),
                                bytes);
        } else if (step[0] == "finalize" && step.size() == 3) {
            recorder.finalize(det_path, number(step[2]));
        } else {
            throw kel::UsageError("unknown step " + args[i]);
        }
    }
    recorder.close();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    return kel::run_program(kel::Program{"volume_tool"}, [&] {
        const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "volume") return make_volume(args);
        if (command == "record") return record(args);
        throw kel::UsageError("volume_tool volume|record ...");
    });
}
