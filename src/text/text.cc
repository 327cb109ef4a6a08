#include "text/text.h"

#include <limits>

#include "text/failure.h"

namespace pvr {
namespace {

char16_t LowerCaseOf(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 32;
  // Latin-1 capitals, except the multiplication sign.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  // Latin Extended-A pairs capital/small, skipping the dotted capital I
  // (whose small form is the ASCII i) and the odd-aligned run 0x139-0x148.
  if (c >= 0x100 && c <= 0x137 && c != 0x130 && c % 2 == 0) return c + 1;
  if (c >= 0x139 && c <= 0x148 && c % 2 == 1) return c + 1;
  if (c >= 0x14A && c <= 0x177 && c % 2 == 0) return c + 1;
  // Greek and Cyrillic capitals.
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  return c;
}

[[noreturn]] void FailInvalidArgument(const char* operation,
                                      std::int32_t value) {
  throw Failure{FailureKind::kInvalidArgument, TextOf(operation),
                TextOf("argument ") + TextOf(std::to_string(value).c_str())};
}

}  // namespace

std::int32_t LengthOf(const Text& text) {
  if (text.size() >
      static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw Failure{FailureKind::kOverflow, Text(),
                  TextOf("text longer than 2147483647 characters")};
  }
  return static_cast<std::int32_t>(text.size());
}

Text TextOf(const char* ascii) {
  Text text;
  for (; *ascii != '\0'; ++ascii) {
    text.push_back(static_cast<unsigned char>(*ascii));
  }
  return text;
}

Text TrimSpaces(const Text& text) {
  const auto first = text.find_first_not_of(u' ');
  if (first == Text::npos) return Text();
  const auto last = text.find_last_not_of(u' ');
  return text.substr(first, last - first + 1);
}

Text LowerCase(const Text& text) {
  Text lower(text);
  for (char16_t& c : lower) c = LowerCaseOf(c);
  return lower;
}

std::int32_t FindText(const Text& text, const Text& pattern) {
  LengthOf(text);
  const auto found = text.find(pattern);
  return found == Text::npos ? 0 : static_cast<std::int32_t>(found) + 1;
}

Text TextFrom(const Text& text, std::int32_t start) {
  if (start < 1) FailInvalidArgument("TextFrom", start);
  if (start > LengthOf(text)) return Text();
  return text.substr(static_cast<std::size_t>(start) - 1);
}

Text LeftText(const Text& text, std::int32_t count) {
  if (count < 0) FailInvalidArgument("LeftText", count);
  return text.substr(0, static_cast<std::size_t>(count));
}

Text RightText(const Text& text, std::int32_t count) {
  if (count < 0) FailInvalidArgument("RightText", count);
  const auto length = static_cast<std::int32_t>(LengthOf(text));
  if (count >= length) return text;
  return text.substr(static_cast<std::size_t>(length - count));
}

Text ReplaceText(const Text& text, const Text& find, const Text& replacement) {
  if (find.empty()) return text;
  Text result;
  result.reserve(text.size());
  std::size_t from = 0;
  for (auto at = text.find(find); at != Text::npos;
       at = text.find(find, from)) {
    result.append(text, from, at - from);
    result.append(replacement);
    from = at + find.size();
  }
  result.append(text, from, Text::npos);
  return result;
}

}  // namespace pvr
