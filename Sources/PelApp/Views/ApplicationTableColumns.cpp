#include "PelApp/Views/ApplicationTableColumns.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace pelapp::columns {

Widths fit(int available, int nameText, const KeptWidths& kept) {
    Widths widths{};
    std::vector<int> flexible;
    int rest = available;
    int idealSum = 0;
    int minimumSum = 0;
    for (int c = 0; c < kCount; ++c) {
        const ColumnWidth& spec = kWidths[c];
        if (c == Column::nameColumn) continue;
        if (spec.fixed || kept[c]) {
            widths[c] = spec.fixed ? spec.ideal : std::max(*kept[c], spec.minimum);
            rest -= widths[c];
            continue;
        }
        flexible.push_back(c);
        idealSum += spec.ideal;
        minimumSum += spec.minimum;
    }

    const int nameWanted = std::max(nameText, kNameMinimum);
    int& name = widths[Column::nameColumn];
    if (rest - idealSum >= nameWanted) {
        for (int c : flexible)
            widths[c] = kWidths[c].ideal;
        name = rest - idealSum;
        return widths;
    }
    if (rest - minimumSum >= nameWanted) {
        // The shortfall is taken a point at a time, each from the column furthest behind its share of
        // the points taken so far (shares in proportion to what each can spare). The order of the
        // points does not depend on the shortfall, so more room never narrows a column.
        const int shortfall = idealSum + nameWanted - rest;
        const int spare = idealSum - minimumSum;
        std::vector<int> taken(flexible.size(), 0);
        for (int given = 0; given < shortfall; ++given) {
            std::optional<std::size_t> next;
            long best = 0;
            for (std::size_t i = 0; i < flexible.size(); ++i) {
                const int canSpare = kWidths[flexible[i]].ideal - kWidths[flexible[i]].minimum;
                if (taken[i] == canSpare) continue;
                const long behind =
                    static_cast<long>(canSpare) * (given + 1) - static_cast<long>(taken[i]) * spare;
                if (!next || behind > best) {
                    best = behind;
                    next = i;
                }
            }
            ++taken[*next];
        }
        for (std::size_t i = 0; i < flexible.size(); ++i)
            widths[flexible[i]] = kWidths[flexible[i]].ideal - taken[i];
        name = nameWanted;
        return widths;
    }
    for (int c : flexible)
        widths[c] = kWidths[c].minimum;
    name = rest - minimumSum >= kNameMinimum ? rest - minimumSum : nameWanted;
    return widths;
}

} // namespace pelapp::columns
