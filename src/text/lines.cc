#include "text/lines.h"

namespace pvr {

std::vector<Text> SplitTextLines(const Text& text, LineEnds ends) {
  const Text terminators = ends == LineEnds::kAny ? Text(u"\r\n") : Text(u"\r");
  std::vector<Text> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find_first_of(terminators, start);
    if (end == Text::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == u'\r' && start < text.size() && text[start] == u'\n') {
      ++start;
    }
  }
  return lines;
}

}  // namespace pvr
