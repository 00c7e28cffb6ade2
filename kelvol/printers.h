// The two printers of every report: a table for people, one JSON document for programs.
#pragma once

#include "findings.h"
#include "header_dir.h"
#include "space.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace kelvol {

// Text as a terminal shows it safely and exactly: control bytes and bytes that are not
// UTF-8 escaped as coreutils' ls -b does (\n, \t, \033, \377...), a backslash doubled.
std::string printable(std::string_view text);

// "KIND PATH DETAIL", printable.
std::string finding_line(const Finding &finding);

void print_ls(const kel::HeaderDirScan &scan, bool json, FILE *out);
void print_df(const Usage &usage, bool json, FILE *out);
void print_check(const Findings &findings, bool json, FILE *out);

// 1.5 MiB, 3.0 GiB, 512 B.
std::string human_size(int64_t bytes);

}  // namespace kelvol
