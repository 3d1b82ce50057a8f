#pragma once

#include <string>
#include <vector>

#include "richtext/attributed_string.h"

namespace zv::richtext {

/// The fields of a paragraph style that differ from an empty one, as "P[name=value ...]"
/// (align, before, after, leading, multiple, min, max, head, first, tail, header, tab/tabR/tabC
/// per stop, list per text list).
std::string describeParagraphStyle(const ParagraphStyle& style);

/// Each run as "text|face size" plus " ul", " st", " #rrggbb", " bg#rrggbb", " url=..." or
/// " link=..." and the paragraph style, so that a reader's test can list what it sees in one
/// readable line per run.
std::vector<std::string> describeRuns(const AttributedString& text);

}  // namespace zv::richtext
