// Pictures of the per-member address space: a line of characters for the terminal and an
// SVG drawing.
#pragma once

#include "space.h"

#include <string>
#include <vector>

namespace kelvol {

enum class Cell { free, used, provisional, overlap };

inline constexpr char kUsedChar = '#';
inline constexpr char kProvisionalChar = '~';
inline constexpr char kFreeChar = '.';
inline constexpr char kOverlapChar = 'X';

// Column c stands for member bytes [c * M / columns, (c + 1) * M / columns) of the member
// size M: overlap where two extents share bytes in it, else used where a data file holds
// any, else provisional where a reservation or allocation in progress holds any, else free.
std::vector<Cell> map_cells(const SpaceModel &space, int columns);

// The cells as exactly `columns` characters.
std::string map_line(const SpaceModel &space, int columns);

// What the characters mean and how much one column stands for.
std::string map_legend(const SpaceModel &space, int columns);

// A self-contained SVG document: an extent a rectangle coloured by its data file and
// labelled where the name fits, reservations hatched, overlaps red, free space blank, an
// axis in MiB or GiB and a legend.
std::string map_svg(const SpaceModel &space);

}  // namespace kelvol
