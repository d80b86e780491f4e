#pragma once

// Bulk rework of the plan's new item numbers: alignment, replacement and insertion.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "data/data.h"

namespace plan {

// The width of an item number.
constexpr std::size_t kNumberWidth = 13;

// Blanks and control characters off both ends, then spaces after (left) or before (right) up
// to the width.
std::string alignLeft(std::string_view value);
std::string alignRight(std::string_view value);

// Every occurrence of `what`, scanned left to right without overlap, replaced by `with`; an
// empty `what` changes nothing. Cut to the width.
std::string replaceAll(std::string_view value, std::string_view what, std::string_view with);

// What to drop when an insertion makes the number longer than the width.
enum class InsertCut {
    Right,        // "Отсекать справа": the end of the joined value
    LeftOfRight,  // "Отсекать слева из правой группы": the start of what followed the position
};

// `text` put after the first `position` characters (none when negative), cut to the width.
std::string insertAt(std::string_view value, long long position, std::string_view text,
                     InsertCut cut);

// A whole number as the position box reads it: leading spaces, a sign, decimal digits, or
// hexadecimal after "$" or "0x"; nothing else, and within 32 bits.
std::optional<int> parseInteger(std::string_view text);
// The refusal of a position that is not a whole number.
std::string notAnInteger(std::string_view text);

// Every plan row's NNNUM given the value `rework` makes of it, row by row in the plan's order;
// the plan's first row current afterwards. A store error ends the pass at its row, the rows
// before it keeping their new values.
void reworkNumbers(data::TData& data, const std::function<std::string(const std::string&)>& rework);

}  // namespace plan
