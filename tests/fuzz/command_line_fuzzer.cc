// The command-line splitter against its inverse: any command line divides
// into words that, quoted by the Windows rules and joined, divide again into
// the same words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "text/command_line.h"

namespace {

pvr::Text Quoted(const pvr::Text& word) {
  if (!word.empty() && word.find_first_of(u" \t\"") == pvr::Text::npos) {
    return word;
  }
  pvr::Text quoted = u"\"";
  std::size_t backslashes = 0;
  for (const char16_t c : word) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
    quoted.push_back(c);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, u'\\');
  return quoted + u'"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const pvr::Text line(data, data + size);
  const std::vector<pvr::Text> words = pvr::SplitCommandLine(line);
  std::size_t characters = 0;
  pvr::Text rejoined;
  for (const pvr::Text& word : words) {
    characters += word.size();
    if (!rejoined.empty()) rejoined += u' ';
    rejoined += Quoted(word);
  }
  if (characters > line.size()) std::abort();
  if (pvr::SplitCommandLine(rejoined) != words) std::abort();
  return 0;
}
