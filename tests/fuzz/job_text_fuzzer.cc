// The job file read a piece at a time against the plain reading of the whole
// text (lines split, trimmed and joined, then the tag rule): for any bytes,
// any piece size and either platform's line ends, the same job data or the
// same failure. From that job data, target and command never crash, fail
// only as the text operations do, and stay within their 16-bit limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "job/job_file.h"
#include "text/failure.h"

namespace {

template <typename JobData>
std::u16string Outcome(JobData job_data) {
  try {
    return u"value " + job_data();
  } catch (const pvr::Failure& failure) {
    return pvr::FailureReport(failure);
  }
}

// Every line end made a CR, then the lines trimmed and joined whole.
pvr::Text WholeTextJobData(pvr::Text text, pvr::LineEnds ends) {
  text = pvr::ReplaceText(text + u"\r", u"\r\n", u"\r");
  if (ends == pvr::LineEnds::kAny) text = pvr::ReplaceText(text, u"\n", u"\r");
  pvr::Text job_text, line;
  for (const char16_t c : text) {
    if (c != u'\r') line.push_back(c);
    if (c == u'\r') job_text += pvr::TrimSpaces(std::exchange(line, {}));
  }
  return pvr::TrimSpaces(pvr::TagValue(job_text, u"<pvr-data>", u"</pvr-data>",
                                       pvr::CaseRule::kAnyCase));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 6) return 0;
  const std::size_t piece_size = 1 + data[0] % 64 * (data[0] >= 128 ? 1024 : 1);
  const auto ends =
      data[1] % 2 ? pvr::LineEnds::kAny : pvr::LineEnds::kCarriageReturn;
  // Up to 128 K of one character put in at a chosen place, so that tags fall
  // on both sides of the 16-bit window.
  pvr::Text text(data + 6, data + size);
  text.insert(data[5] % (text.size() + 1), 2 * (data[2] << 8 | data[3]),
              data[4]);
  const std::u16string whole =
      Outcome([&] { return WholeTextJobData(text, ends); });
  const std::u16string in_pieces = Outcome([&] {
    pvr::JobTextReader reader{pvr::LineJoiner{ends}, {}, {}, {}, false};
    for (std::size_t at = 0; at < text.size(); at += piece_size) {
      if (!pvr::TakeJobText(reader, text.substr(at, piece_size))) break;
    }
    return pvr::JobDataOf(reader);
  });
  if (whole != in_pieces) std::abort();
  if (whole.rfind(u"value ", 0) != 0) return 0;
  const pvr::Text job_data = whole.substr(6);
  try {
    if (job_data.size() > 32767) std::abort();
    // Three pieces, each a slice of the job data; they may overlap.
    if (pvr::TargetPathOf(job_data).size() > 3 * job_data.size()) std::abort();
    if (pvr::LaunchCommandOf(job_data).size() > job_data.size()) std::abort();
  } catch (const pvr::Failure& failure) {
    if (failure.kind != pvr::FailureKind::kInvalidArgument &&
        failure.kind != pvr::FailureKind::kOverflow) {
      std::abort();
    }
  }
  return 0;
}
