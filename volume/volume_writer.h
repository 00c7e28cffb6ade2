// Writing the files the engine reads: sparse member files, the device table and the
// configuration file, and a whole volume of member files made of them.
#pragma once

#include "units.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kel {

// Creates (or empties) path and gives it size bytes without writing any: a sparse file.
// Throws SystemError.
void make_sparse_file(const std::string &path, int64_t size);

// Creates (or empties) path and writes text into it. Throws SystemError.
void write_text_file(const std::string &path, const std::string &text);

struct TableMember {
    std::string path;
    int64_t offset_sectors = 0;  // where the volume's data begins on the member
};

// One striped line: "start length striped S chunk path offset ...". Every number counts
// 512-byte sectors; the length is the whole volume's, all members together.
struct DeviceTable {
    int64_t start_sectors = 0;
    int64_t length_sectors = 0;
    int64_t chunk_sectors = 0;
    std::vector<TableMember> members;
};

// The table's text, one line. Throws std::invalid_argument for a table the engine would
// refuse or misread: no members, a chunk below one sector, a stripe of 2 GiB or more, a
// sector count that is negative or too large for bytes in 64 bits, or a path that is
// empty, holds white space or is too long.
std::string device_table_text(const DeviceTable &table);
void write_device_table(const std::string &path, const DeviceTable &table);

// The seven entries of a configuration file.
struct VolumeConfig {
    std::string type = "RAID";
    std::string header_dir;   // VKPATH: where the ".det" files live
    std::string fuse_path = "/none";
    std::string table_path;   // DMSETUP: the device table
    std::string mapper_path = "/none";
    std::string extend = "1G";
    int threads = 2;
};

// The configuration's text, an entry a line. Throws std::invalid_argument for an empty
// value, a value the engine could not read back (white space, too long) or threads < 1.
std::string config_text(const VolumeConfig &config);
void write_config_file(const std::string &path, const VolumeConfig &config);

struct VolumeGeometry {
    int members = 4;
    int64_t chunk_bytes = 1 << 20;  // a multiple of the 512-byte sector
    int workers = 2;
    int64_t member_bytes = 0;       // size of every member file: whole chunks, at least one
};

// Bytes per member (whole chunks, at least one) needed to hold stream_bytes.
int64_t member_bytes_for(int64_t stream_bytes, int members, int64_t chunk_bytes);

// The files of a volume made by create_volume.
struct VolumeFiles {
    std::string config_path;   // DIR/volume.conf
    std::string table_path;    // DIR/volume.table
    std::string header_dir;    // DIR/headers
    std::vector<std::string> member_paths;  // DIR/members/m0 ... m(N-1)
    VolumeConfig config;       // what the configuration file holds
};

// Makes a volume of sparse member files in the existing directory DIR: DIR/members/m0 ..
// m(N-1), the device table DIR/volume.table (start 0, every member at offset 0), the
// header directory DIR/headers and the configuration file DIR/volume.conf
// (FUSEPATH=DIR/mnt, THREADS=workers). Throws std::invalid_argument for a geometry the
// engine cannot use and SystemError when a file cannot be made; what it made is then
// left for the caller to remove with DIR.
VolumeFiles create_volume(const std::string &directory, const VolumeGeometry &geometry);

// The same files for members that exist already (block devices or files, each holding at
// least geometry.member_bytes): the device table names member_paths in order, and nothing
// is written to them. geometry.members is taken from member_paths.
VolumeFiles create_volume_on(const std::string &directory, const std::vector<std::string> &member_paths,
                             VolumeGeometry geometry);

}  // namespace kel
