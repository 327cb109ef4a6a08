#include "text/command_line.h"

#include "text/failure.h"

namespace pvr {

std::vector<Text> SplitCommandLine(const Text& command_line) {
  std::vector<Text> words;
  Text word;
  bool in_word = false;  // also true for a word of only quotes: ""
  bool quoted = false;
  const std::size_t length = command_line.size();
  std::size_t at = 0;
  while (at < length) {
    const char16_t c = command_line[at];
    if (c == u'\\') {
      std::size_t end = at;
      while (end < length && command_line[end] == u'\\') ++end;
      const std::size_t backslashes = end - at;
      in_word = true;
      if (end < length && command_line[end] == u'"') {
        word.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          word.push_back(u'"');
          ++end;
        }
      } else {
        word.append(backslashes, u'\\');
      }
      at = end;
      continue;
    }
    if (c == u'"') {
      quoted = !quoted;
      in_word = true;
    } else if ((c == u' ' || c == u'\t') && !quoted) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word.push_back(c);
      in_word = true;
    }
    ++at;
  }
  if (in_word) words.push_back(word);
  return words;
}

std::vector<Text> ProgramAndArguments(const Text& command_line) {
  std::vector<Text> words = SplitCommandLine(command_line);
  if (words.empty() || words[0].empty()) {
    throw Failure{FailureKind::kProgramNotFound, command_line,
                  TextOf("the command is empty")};
  }
  return words;
}

std::vector<std::size_t> ActedOnAt(const Text& text, const Text& always,
                                   const Text& unquoted) {
  std::vector<std::size_t> positions;
  bool quoted = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    quoted = quoted != (text[at] == u'"');
    if (always.find(text[at]) != Text::npos ||
        (!quoted && unquoted.find(text[at]) != Text::npos)) {
      positions.push_back(at + 1);
    }
  }
  return positions;
}

}  // namespace pvr
