#include "printers.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

namespace kelvol {
namespace {

using Json = nlohmann::ordered_json;

void print_json(const Json &document, FILE *out) {
    // Names come from the directory and need not be UTF-8: what is not is replaced here,
    // and put_text adds the exact bytes beside it.
    std::fprintf(out, "%s\n", document.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

// The length of the valid UTF-8 sequence at text[at], with its code point; 0 when the byte
// there begins none (a stray continuation byte, an overlong form, a surrogate, a cut end).
size_t utf8_sequence(std::string_view text, size_t at, uint32_t &code_point) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    size_t length;
    uint32_t lowest;
    if (lead >= 0xc2 && lead <= 0xdf) length = 2, lowest = 0x80, code_point = lead & 0x1f;
    else if (lead >= 0xe0 && lead <= 0xef) length = 3, lowest = 0x800, code_point = lead & 0x0f;
    else if (lead >= 0xf0 && lead <= 0xf4) length = 4, lowest = 0x10000, code_point = lead & 0x07;
    else return 0;
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code_point = (code_point << 6) | (byte(at + i) & 0x3f);
    }
    if (code_point < lowest || code_point > 0x10ffff || (code_point >= 0xd800 && code_point <= 0xdfff)) return 0;
    return length;
}

bool valid_utf8(std::string_view text) {
    uint32_t code_point;
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence(text, at, code_point);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

// Every byte but printable ASCII other than '%' as %HH: what urllib's unquote_to_bytes
// and the like turn back into the exact bytes.
std::string percent_encoded(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (c > 0x20 && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xf];
        }
    }
    return out;
}

// A text field; when the text is not valid UTF-8 (and so prints with U+FFFD in place of
// what is not), also KEY_bytes: its exact bytes, percent-encoded.
void put_text(Json &object, const std::string &key, const std::string &text) {
    object[key] = text;
    if (!valid_utf8(text)) object[key + "_bytes"] = percent_encoded(text);
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
    for (const Finding &finding : findings) {
        Json item = {{"kind", kind_name(finding.kind)}};
        put_text(item, "path", finding.path);
        put_text(item, "detail", finding.detail);
        list.push_back(std::move(item));
    }
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

std::string printable(std::string_view text) {
    std::string out;
    uint32_t code_point = 0;
    auto octal = [&](unsigned char c) {
        const char digits[] = {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                               static_cast<char>('0' + (c & 7))};
        out.append(digits, sizeof digits);
    };
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence(text, at, code_point);
        if (length == 0) {
            octal(static_cast<unsigned char>(text[at++]));
            continue;
        }
        const std::string_view sequence = text.substr(at, length);
        at += length;
        switch (code_point) {
        case '\\': out += "\\\\"; continue;
        case '\a': out += "\\a"; continue;
        case '\b': out += "\\b"; continue;
        case '\t': out += "\\t"; continue;
        case '\n': out += "\\n"; continue;
        case '\v': out += "\\v"; continue;
        case '\f': out += "\\f"; continue;
        case '\r': out += "\\r"; continue;
        default: break;
        }
        if (code_point < 0x20 || (code_point >= 0x7f && code_point < 0xa0)) {
            for (const char c : sequence) octal(static_cast<unsigned char>(c));
            continue;
        }
        out += sequence;
    }
    return out;
}

std::string finding_line(const Finding &finding) {
    return printable(std::string(kind_name(finding.kind)) + " " + finding.path + " " + finding.detail);
}

void print_ls(const kel::HeaderDirScan &scan, bool json, FILE *out) {
    if (json) {
        Json files = Json::array();
        for (const kel::DetFile &file : scan.det_files) {
            Json extents = Json::array();
            for (const DetEntry &entry : file.entries) extents.push_back({{"offset", entry.offset}, {"length", entry.length}});
            Json row = Json::object();
            put_text(row, "name", file.name);
            row["size"] = file.size;
            row["extents"] = extents;
            row["state"] = kel::state_name(file.state);
            if (file.marked && file.writer_pid > 0) row["writer_pid"] = file.writer_pid;
            row["mtime"] = static_cast<int64_t>(file.mtime.tv_sec);
            files.push_back(std::move(row));
        }
        print_json(files, out);
        return;
    }
    std::vector<std::vector<std::string>> rows{{"NAME", "SIZE", "EXTENTS", "STATE", "MODIFIED"}};
    for (const kel::DetFile &file : scan.det_files)
        rows.push_back({printable(file.name), std::to_string(file.size), std::to_string(file.entries.size()),
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
