#include "text/lines.h"

namespace pvr {
namespace {

bool EndsRun(char16_t c, LineEnds ends) {
  return c <= u' ' &&
         (c == u' ' || c == u'\r' || (c == u'\n' && ends == LineEnds::kAny));
}

}  // namespace

void JoinTrimmedLines(LineJoiner& joiner, const Text& piece, Text& joined) {
  const std::size_t size = piece.size();
  std::size_t at = 0;
  while (at < size) {
    const char16_t c = piece[at];
    if (c == u'\n' && joiner.after_carriage_return) {  // the LF of a CRLF
      joiner.after_carriage_return = false;
      ++at;
      continue;
    }
    joiner.after_carriage_return = false;
    if (c == u'\r' || (c == u'\n' && joiner.ends == LineEnds::kAny)) {
      joiner.after_carriage_return = c == u'\r';
      joiner.at_line_start = true;
      joiner.held_spaces = 0;
      ++at;
    } else if (c == u' ') {
      if (!joiner.at_line_start) ++joiner.held_spaces;
      ++at;
    } else {
      // A run of other characters, taken whole, after the spaces before it.
      std::size_t end = at + 1;
      while (end < size && !EndsRun(piece[end], joiner.ends)) ++end;
      if (joiner.at_line_start && joiner.joins != nullptr && !joined.empty()) {
        joiner.joins->push_back(joined.size());
      }
      joined.append(joiner.held_spaces, u' ');
      joined.append(piece, at, end - at);
      joiner.held_spaces = 0;
      joiner.at_line_start = false;
      at = end;
    }
  }
}

bool IsUtf16(const char* bytes, std::size_t size) {
  const auto at = [bytes](std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
  };
  return size >= 4 && ((at(0) == 0xFF && at(1) == 0xFE && at(3) == 0) ||
                       (at(0) == 0xFE && at(1) == 0xFF && at(2) == 0));
}

}  // namespace pvr
