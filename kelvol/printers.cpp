#include "printers.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <vector>

namespace kelvol {
namespace {

using Json = nlohmann::ordered_json;

void print_json(const Json &document, FILE *out) {
    // Names come from the directory and need not be UTF-8; replace what is not.
    std::fprintf(out, "%s\n", document.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

std::string local_time(const timespec &t) {
    struct tm parts {};
    const time_t seconds = t.tv_sec;
    localtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// Columns padded to their widest cell; the last one is not padded.
void print_table(const std::vector<std::vector<std::string>> &rows, FILE *out) {
    std::vector<size_t> widths;
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c) widths.push_back(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
}

Json findings_json(const std::vector<Finding> &findings) {
    Json list = Json::array();
    for (const Finding &finding : findings)
        list.push_back({{"kind", kind_name(finding.kind)}, {"path", finding.path}, {"detail", finding.detail}});
    return list;
}

}  // namespace

std::string human_size(int64_t bytes) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024 && bytes > -1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while ((value >= 1024 || value <= -1024) && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string finding_line(const Finding &finding) {
    return std::string(kind_name(finding.kind)) + " " + finding.path + " " + finding.detail;
}

void print_ls(const kel::HeaderDirScan &scan, bool json, FILE *out) {
    if (json) {
        Json files = Json::array();
        for (const kel::DetFile &file : scan.det_files) {
            Json extents = Json::array();
            for (const DetEntry &entry : file.entries) extents.push_back({{"offset", entry.offset}, {"length", entry.length}});
            files.push_back({{"name", file.name},
                             {"size", file.size},
                             {"extents", extents},
                             {"state", kel::state_name(file.state)},
                             {"mtime", static_cast<int64_t>(file.mtime.tv_sec)}});
        }
        print_json(files, out);
        return;
    }
    std::vector<std::vector<std::string>> rows{{"NAME", "SIZE", "EXTENTS", "STATE", "MODIFIED"}};
    for (const kel::DetFile &file : scan.det_files)
        rows.push_back({file.name, std::to_string(file.size), std::to_string(file.entries.size()),
                        kel::state_name(file.state), local_time(file.mtime)});
    print_table(rows, out);
}

void print_df(const Usage &usage, bool json, FILE *out) {
    if (json) {
        print_json({{"members", usage.members},
                    {"chunk_size", usage.chunk_size},
                    {"volume_size", usage.volume_size},
                    {"member_size", usage.member_size},
                    {"used", usage.used},
                    {"provisional", usage.provisional},
                    {"free", usage.free},
                    {"largest_request", usage.largest_request},
                    {"gaps", usage.gaps}},
                   out);
        return;
    }
    auto sized = [](int64_t bytes) { return std::to_string(bytes) + " (" + human_size(bytes) + ")"; };
    print_table({{"members", std::to_string(usage.members)},
                 {"chunk size", sized(usage.chunk_size)},
                 {"volume size", sized(usage.volume_size)},
                 {"member size", sized(usage.member_size)},
                 {"used", sized(usage.used)},
                 {"provisional", sized(usage.provisional)},
                 {"free", sized(usage.free)},
                 {"largest request", usage.largest_request < 0 ? "none" : sized(usage.largest_request)},
                 {"free gaps", std::to_string(usage.gaps)}},
                out);
}

void print_check(const Findings &findings, bool json, FILE *out) {
    if (json) {
        print_json({{"problems", findings_json(findings.problems)}, {"in_progress", findings_json(findings.in_progress)}},
                   out);
        return;
    }
    for (const Finding &finding : findings.problems) std::fprintf(out, "%s\n", finding_line(finding).c_str());
    for (const Finding &finding : findings.in_progress)
        std::fprintf(out, "in-progress %s\n", finding_line(finding).c_str());
}

}  // namespace kelvol
