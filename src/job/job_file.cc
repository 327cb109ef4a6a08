#include "job/job_file.h"

#include <algorithm>
#include <limits>

#include "platform/platform.h"
#include "text/failure.h"

namespace pvr {
namespace {

const Text kDataOpen = u"<pvr-data>";
const Text kDataClose = u"</pvr-data>";
constexpr std::size_t kTextPosMax = std::numeric_limits<TextPos>::max();
constexpr const char* kStartsTooLate = "value starts beyond position 32767";
constexpr const char* kTooLong = "value longer than 32767 characters";

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

// Room for an opening tag ending by position 32767 and a value of 32767
// characters after it, with its closing tag.
constexpr std::size_t kWindow = 32767 + 32767 + 11;

// The tag whose absence from the window leaves the outcome open: the opening
// tag, or the closing one after a value that may still fit. Empty when the
// window decides.
Text TagSoughtBeyond(const Text& window) {
  const Text search = LowerCase(window);
  const auto open = search.find(kDataOpen);
  if (open == Text::npos) return kDataOpen;
  const std::size_t start = open + kDataOpen.size();
  if (start + 1 > kTextPosMax) return Text();
  return search.find(kDataClose, start) == Text::npos ? kDataClose : Text();
}

// Whether the text holds a "<", looked for in blocks of a fixed size that
// the compiler can search many characters at a time: a huge file without
// one is read at the speed of the disk.
bool HoldsTagStart(const Text& text) {
  std::size_t at = 0;
  for (; at + 256 <= text.size(); at += 256) {
    char16_t seen = 0;
    for (std::size_t i = 0; i < 256; ++i) seen |= text[at + i] == u'<';
    if (seen != 0) return true;
  }
  return text.find(u'<', at) != Text::npos;
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
  const TextPos start =
      ToTextPos(std::int64_t{found} + LengthOf(open), open, kStartsTooLate);
  // The closing tag is searched from the start of the value on, in the
  // search copy: lower-casing maps character to character, so positions
  // there are positions in scope. Searching in place rather than in a copy
  // of the rest keeps a huge job file from being copied twice more.
  const auto close_at = search_copy.find(close, start - 1);
  // As FindText in the rest would give it: 1-based there, 0 for none.
  const std::int64_t found_close =
      close_at == Text::npos ? 0
                             : static_cast<std::int64_t>(close_at) - start + 2;
  const TextPos count = ToTextPos(found_close - 1, close, kTooLong);
  if (count < 0) {
    throw Failure{FailureKind::kInvalidArgument, close,
                  TextOf("closing tag missing")};
  }
  // The count characters of scope from start on.
  return scope.substr(static_cast<std::size_t>(start) - 1,
                      static_cast<std::size_t>(count));
}

bool TakeJobText(JobTextReader& reader, const Text& piece) {
  if (reader.sought.empty()) {
    JoinTrimmedLines(reader.joiner, piece, reader.job_text);
    if (reader.job_text.size() < kWindow) return true;
    reader.sought = TagSoughtBeyond(reader.job_text);
    if (reader.sought.empty()) return false;
    reader.tail = reader.job_text.substr(reader.job_text.size() -
                                         (reader.sought.size() - 1));
    return true;
  }
  // Every tag starts with "<": a piece without one, after a tail without
  // one, cannot hold the sought tag, nor does it change how one after it
  // would join.
  if (reader.tail.find(u'<') == Text::npos && !HoldsTagStart(piece)) {
    reader.tail.clear();
    return true;
  }
  // Beyond the window no value lies, nor any of its joins.
  reader.joiner.joins = nullptr;
  Text joined = reader.tail;
  JoinTrimmedLines(reader.joiner, piece, joined);
  if (LowerCase(joined).find(reader.sought) != Text::npos) {
    reader.found = true;
    return false;
  }
  const std::size_t keep = std::min(joined.size(), reader.sought.size() - 1);
  reader.tail = joined.substr(joined.size() - keep);
  return true;
}

Text JobDataOf(const JobTextReader& reader) {
  // Beyond the window, the value's start or its length cannot fit.
  if (reader.found && reader.sought == kDataOpen) {
    throw Failure{FailureKind::kOverflow, kDataOpen, TextOf(kStartsTooLate)};
  }
  if (reader.found) {
    throw Failure{FailureKind::kOverflow, kDataClose, TextOf(kTooLong)};
  }
  return TrimSpaces(
      TagValue(reader.job_text, kDataOpen, kDataClose, CaseRule::kAnyCase));
}

Text LoadJobData(const Text& job_path, std::vector<std::size_t>* joins) {
  std::vector<std::size_t> joined_at;
  LineJoiner joiner{JobFileLineEnds()};
  joiner.joins = joins != nullptr ? &joined_at : nullptr;
  JobTextReader reader{joiner, {}, {}, {}, false};
  ReadTextPieces(job_path, [&reader](const Text& piece) {
    return TakeJobText(reader, piece);
  });
  const Text data = JobDataOf(reader);
  if (joins != nullptr && !data.empty()) {
    // The data begins after its opening tag and the spaces trimmed there.
    const std::size_t start = reader.job_text.find_first_not_of(
        u' ', LowerCase(reader.job_text).find(kDataOpen) + kDataOpen.size());
    for (const std::size_t at : joined_at) {
      if (at > start && at < start + data.size()) joins->push_back(at - start);
    }
  }
  return data;
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
