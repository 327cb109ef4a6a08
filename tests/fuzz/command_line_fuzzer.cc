// The command-line splitter against its inverse: any command line divides
// into words that, quoted by the Windows rules and joined, divide again into
// the same words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "text/command_line.h"

namespace {

// Quoted whole: a run of backslashes doubled before a double quote, which is
// escaped, and before the closing quote.
pvr::Text Quoted(const pvr::Text& word) {
  pvr::Text quoted = u"\"";
  std::size_t backslashes = 0;
  for (const char16_t c : word) {
    if (c == u'"') quoted.append(backslashes + 1, u'\\');
    backslashes = c == u'\\' ? backslashes + 1 : 0;
    quoted.push_back(c);
  }
  return quoted.append(backslashes, u'\\') + u'"';
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
