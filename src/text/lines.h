#pragma once

#include <vector>

#include "text/text.h"

namespace pvr {

enum class LineEnds {
  kCarriageReturn,  // CR or CRLF; a line feed alone stays in the line
  kAny,             // LF, CR or CRLF
};

// The lines of a text, terminators removed; the last needs none.
std::vector<Text> SplitTextLines(const Text& text, LineEnds ends);

}  // namespace pvr
