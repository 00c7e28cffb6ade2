#include "space_map.h"

#include "printers.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace kelvol {
namespace {

// The column that holds member byte `byte` (0 <= byte < member_size).
int64_t column_of(int64_t byte, int64_t member_size, int columns) {
    const __int128 column = ((static_cast<__int128>(byte) + 1) * columns + member_size - 1) / member_size - 1;
    return std::clamp<int64_t>(static_cast<int64_t>(column), 0, columns - 1);
}

// Marks the columns that bytes [begin, end) touch, keeping the stronger cell.
void mark(std::vector<Cell> &cells, int64_t begin, int64_t end, int64_t member_size, Cell cell) {
    begin = std::max<int64_t>(begin, 0);
    end = std::min(end, member_size);
    if (begin >= end) return;
    const int columns = static_cast<int>(cells.size());
    for (int64_t c = column_of(begin, member_size, columns); c <= column_of(end - 1, member_size, columns); ++c)
        cells[c] = std::max(cells[c], cell);
}

char cell_char(Cell cell) {
    switch (cell) {
    case Cell::used: return kUsedChar;
    case Cell::provisional: return kProvisionalChar;
    case Cell::overlap: return kOverlapChar;
    case Cell::free: break;
    }
    return kFreeChar;
}

// ---- SVG ----

constexpr double kWidth = 1000, kMargin = 30, kBarTop = 50, kBarHeight = 70;
constexpr double kBarWidth = kWidth - 2 * kMargin;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Text for an XML document: markup characters escaped, bytes outside printable ASCII
// (names need not be UTF-8) shown as '?'.
std::string xml_text(const std::string &text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (c < 0x20 || c > 0x7e) out += '?';
        else out += static_cast<char>(c);
    }
    return out;
}

// A colour per data file, spread around the hue circle in name order.
std::map<std::string, std::string> file_colours(const SpaceModel &space) {
    std::map<std::string, std::string> colours;
    for (const PlacedExtent &extent : space.extents)
        if (!extent.held_for_writer()) colours[extent.file->name];
    int index = 0;
    for (auto &[name, colour] : colours) {
        const int hue = (index++ * 137) % 360;  // the golden angle keeps neighbours apart
        colour = "hsl(" + std::to_string(hue) + ",65%,55%)";
    }
    return colours;
}

// A tick step of 1, 2 or 5 times a power of two of the unit, for about eight ticks.
double tick_step(double span) {
    double step = 1;
    while (span / step > 8) step *= 2;
    while (span / step < 4 && step > 1.0 / 1024) step /= 2;
    return step;
}

}  // namespace

std::vector<Cell> map_cells(const SpaceModel &space, int columns) {
    std::vector<Cell> cells(static_cast<size_t>(std::max(columns, 0)), Cell::free);
    if (columns < 1 || space.member_size < 1) return cells;
    for (const PlacedExtent &extent : space.extents)
        mark(cells, extent.begin, extent.end, space.member_size,
             extent.held_for_writer() ? Cell::provisional : Cell::used);
    for (const Overlap &overlap : space.overlaps)
        mark(cells, overlap.begin, overlap.end, space.member_size, Cell::overlap);
    return cells;
}

std::string map_line(const SpaceModel &space, int columns) {
    std::string line;
    for (const Cell cell : map_cells(space, columns)) line += cell_char(cell);
    return line;
}

std::string map_legend(const SpaceModel &space, int columns) {
    const int64_t per_column = columns > 0 ? space.member_size / columns : 0;
    return std::string(1, kUsedChar) + " used  " + kProvisionalChar + " reserved or in progress  " + kFreeChar +
           " free  " + kOverlapChar + " overlap; a column is " + human_size(per_column) + " of each member's " +
           human_size(space.member_size);
}

std::string map_svg(const SpaceModel &space) {
    const double member_size = static_cast<double>(std::max<int64_t>(space.member_size, 1));
    auto x_of = [&](int64_t byte) {
        return kMargin + std::clamp(static_cast<double>(byte) / member_size, 0.0, 1.0) * kBarWidth;
    };
    const std::map<std::string, std::string> colours = file_colours(space);
    const double legend_top = kBarTop + kBarHeight + 60;
    const double height = legend_top + 22 * (static_cast<double>(std::min<size_t>(colours.size(), 12)) + 4);
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth) + "\" height=\"" +
                      number(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                      "<defs><pattern id=\"hatch\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
                      "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#dddddd\"/>"
                      "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"8\" stroke=\"#555555\" stroke-width=\"3\"/></pattern></defs>\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + number(kMargin) + "\" y=\"30\" font-size=\"14\">Each member's address space (" +
           xml_text(human_size(space.member_size)) + ")</text>\n";
    svg += "<rect x=\"" + number(kMargin) + "\" y=\"" + number(kBarTop) + "\" width=\"" + number(kBarWidth) +
           "\" height=\"" + number(kBarHeight) + "\" fill=\"white\" stroke=\"#333333\"/>\n";
    for (const PlacedExtent &extent : space.extents) {
        const double x = x_of(extent.begin), width = std::max(1.0, x_of(extent.end) - x);
        const std::string fill = extent.held_for_writer() ? "url(#hatch)" : colours.at(extent.file->name);
        const std::string name = xml_text(extent.file->name);
        svg += "<rect x=\"" + number(x) + "\" y=\"" + number(kBarTop) + "\" width=\"" + number(width) +
               "\" height=\"" + number(kBarHeight) + "\" fill=\"" + fill + "\" stroke=\"#222222\" stroke-width=\"0.5\">"
               "<title>" + name + "</title></rect>\n";
        if (width >= 7.0 * static_cast<double>(extent.file->name.size()) + 6)
            svg += "<text x=\"" + number(x + width / 2) + "\" y=\"" + number(kBarTop + kBarHeight / 2 + 4) +
                   "\" text-anchor=\"middle\">" + name + "</text>\n";
    }
    for (const Overlap &overlap : space.overlaps) {
        const double x = x_of(overlap.begin), width = std::max(1.0, x_of(overlap.end) - x);
        svg += "<rect x=\"" + number(x) + "\" y=\"" + number(kBarTop) + "\" width=\"" + number(width) +
               "\" height=\"" + number(kBarHeight) + "\" fill=\"red\" fill-opacity=\"0.85\"/>\n";
    }
    // The axis, in GiB from 2 GiB per member on, else in MiB.
    const bool in_gib = space.member_size >= (int64_t{2} << 30);
    const double unit = in_gib ? double(int64_t{1} << 30) : double(1 << 20);
    const double span = member_size / unit, step = tick_step(span);
    const double axis_y = kBarTop + kBarHeight + 8;
    svg += "<line x1=\"" + number(kMargin) + "\" y1=\"" + number(axis_y) + "\" x2=\"" + number(kMargin + kBarWidth) +
           "\" y2=\"" + number(axis_y) + "\" stroke=\"#333333\"/>\n";
    for (double tick = 0; tick <= span + 1e-9; tick += step) {
        const double x = kMargin + tick / span * kBarWidth;
        char label[48];
        std::snprintf(label, sizeof label, "%g %s", tick, in_gib ? "GiB" : "MiB");
        svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(axis_y) + "\" x2=\"" + number(x) + "\" y2=\"" +
               number(axis_y + 6) + "\" stroke=\"#333333\"/><text x=\"" + number(x) + "\" y=\"" +
               number(axis_y + 20) + "\" text-anchor=\"middle\">" + label + "</text>\n";
    }
    // The legend: the data files (the first twelve), then what the fills mean.
    double y = legend_top;
    auto legend_row = [&](const std::string &fill, const std::string &text) {
        svg += "<rect x=\"" + number(kMargin) + "\" y=\"" + number(y - 11) + "\" width=\"14\" height=\"14\" fill=\"" +
               fill + "\" stroke=\"#222222\" stroke-width=\"0.5\"/><text x=\"" + number(kMargin + 22) + "\" y=\"" +
               number(y) + "\">" + text + "</text>\n";
        y += 22;
    };
    size_t shown = 0;
    for (const auto &[name, colour] : colours) {
        if (shown++ == 12) break;
        legend_row(colour, xml_text(name));
    }
    if (colours.size() > 12) {
        svg += "<text x=\"" + number(kMargin + 22) + "\" y=\"" + number(y) + "\">and " +
               std::to_string(colours.size() - 12) + " more data files</text>\n";
        y += 22;
    }
    legend_row("url(#hatch)", "reservation or allocation in progress");
    legend_row("red", "overlap: extents that share bytes");
    legend_row("white", "free");
    svg += "</svg>\n";
    return svg;
}

}  // namespace kelvol
