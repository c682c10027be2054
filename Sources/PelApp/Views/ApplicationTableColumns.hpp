#pragma once

#include "PelApp/Views/ApplicationTableModel.hpp"

#include <array>
#include <optional>

namespace pelapp::columns {

using Column = ApplicationTableModel::Column;
inline constexpr int kCount = Column::columnTotal;

struct ColumnWidth {
    int ideal;
    int minimum;
    // Neither the layout nor the user changes it.
    bool fixed = false;
};

// Name has no ideal: it takes what the others leave, and goes below the width of its text only
// down to this, and only where that spares the table a horizontal scroll bar.
inline constexpr int kNameMinimum = 100;

inline constexpr std::array<ColumnWidth, kCount> kWidths{{
    {28, 28, true},
    {24, 24, true},
    {0, kNameMinimum},
    {110, 90},
    {130, 90},
    {90, 70},
    {80, 60},
    {180, 130},
    {150, 130},
}};

// Widths the user gave columns by dragging their edges; those keep them.
using KeptWidths = std::array<std::optional<int>, kCount>;
using Widths = std::array<int, kCount>;

// The width of every column in a table `available` points wide whose Name column needs `nameText`
// points to show its longest text. The columns after Name sit at their ideal widths while Name still
// gets its text's width; in less room they shrink toward their minimums, shares in proportion to
// what each can give; only then does Name go below its text's width. When even the minimums do not
// fit, the table scrolls and Name keeps its text's width, since squeezing it would spare nothing.
Widths fit(int available, int nameText, const KeptWidths& kept = {});

} // namespace pelapp::columns
