#pragma once

#include <cstddef>
#include <vector>

#include "text/text.h"

namespace pvr {

enum class LineEnds {
  kCarriageReturn,  // CR or CRLF; a line feed alone stays in the line
  kAny,             // LF, CR or CRLF
};

// Where joining stands between two pieces of text: a line end or a run of
// spaces may fall across them.
struct LineJoiner {
  LineEnds ends;
  bool at_line_start = true;
  std::size_t held_spaces = 0;  // kept only if the line goes on
  bool after_carriage_return = false;
  // Where given, each place in the joined text where two lines meet.
  std::vector<std::size_t>* joins = nullptr;
};

// Appends the piece's lines to joined, each trimmed of spaces at both ends,
// with nothing between them: pieces taken one after another give what the
// whole text would.
void JoinTrimmedLines(LineJoiner& joiner, const Text& piece, Text& joined);

// Whether a file's first bytes are UTF-16 text behind its byte order mark,
// which an 8-bit reading turns into a tag-less jumble.
bool IsUtf16(const char* bytes, std::size_t size);

}  // namespace pvr
