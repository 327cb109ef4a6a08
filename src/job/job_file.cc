#include "job/job_file.h"

#include <limits>

#include "platform/platform.h"
#include "run/failure.h"

namespace pvr {
namespace {

TextPos ToTextPos(std::int64_t value, const Text& tag, const char* what) {
  if (value < std::numeric_limits<TextPos>::min() ||
      value > std::numeric_limits<TextPos>::max()) {
    throw Failure{FailureKind::kOverflow, tag, TextOf(what)};
  }
  return static_cast<TextPos>(value);
}

Text SearchCopy(const Text& text, CaseRule rule) {
  return rule == CaseRule::kAnyCase ? LowerCase(text) : text;
}

}  // namespace

Text TagValue(const Text& scope, const Text& open, const Text& close,
              CaseRule rule) {
  const Text search_copy = SearchCopy(scope, rule);
  const std::int32_t found = FindText(search_copy, open);
  // Guessing a start for a missing tag could derive a wrong target path,
  // and that path is deleted: refuse instead.
  if (found == 0) {
    throw Failure{FailureKind::kInvalidArgument, open,
                  TextOf("opening tag missing")};
  }
  const TextPos start = ToTextPos(std::int64_t{found} + LengthOf(open), open,
                                  "value starts beyond position 32767");
  const Text rest = TextFrom(scope, start);
  // Lower-casing maps character to character, so the tail of the search copy
  // is the search copy of the tail.
  const Text rest_copy = TextFrom(search_copy, start);
  const TextPos count = ToTextPos(FindText(rest_copy, close) - 1, close,
                                  "value longer than 32767 characters");
  if (count < 0) {
    throw Failure{FailureKind::kInvalidArgument, close,
                  TextOf("closing tag missing")};
  }
  return LeftText(rest, count);
}

Text JobDataOf(const std::vector<Text>& lines) {
  Text job_text;
  for (const Text& line : lines) job_text += TrimSpaces(line);
  return TrimSpaces(TagValue(job_text, TextOf("<pvr-data>"),
                             TextOf("</pvr-data>"), CaseRule::kAnyCase));
}

Text LoadJobData(const Text& job_path) {
  return JobDataOf(ReadTextLines(job_path));
}

Text TargetPathOf(const Text& job_data) {
  Text target =
      TrimSpaces(TagValue(job_data, TextOf("<pvr-work-dir>"),
                          TextOf("</pvr-work-dir>"), CaseRule::kAnyCase));
  target +=
      TrimSpaces(TagValue(job_data, TextOf("<pvr-show-file-name>"),
                          TextOf("</pvr-show-file-name>"), CaseRule::kAnyCase));
  target +=
      TrimSpaces(TagValue(job_data, TextOf("<pvr-show-file-ext>"),
                          TextOf("</pvr-show-file-ext>"), CaseRule::kAnyCase));
  return target;
}

Text LaunchCommandOf(const Text& job_data) {
  const Text section =
      TrimSpaces(TagValue(job_data, TextOf("<pvr-show-cmd>"),
                          TextOf("</pvr-show-cmd>"), CaseRule::kAnyCase));
  Text command = TagValue(section, TextOf("<code>"), TextOf("</code>"),
                          CaseRule::kExactCase);
  const Text escaped_quote = TextOf("\\\"");
  if (FindText(command, escaped_quote) > 0) {
    command = ReplaceText(command, escaped_quote, TextOf("\""));
  }
  return command;
}

}  // namespace pvr
