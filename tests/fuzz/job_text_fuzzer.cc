// Bytes of a job file to job data, target path and launch command: never a
// crash, never a failure other than the text operations' own, and never a
// value longer than its 16-bit limit allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "job/job_file.h"
#include "run/failure.h"
#include "text/lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const pvr::Text bytes(data, data + size);
  try {
    const pvr::Text job_data =
        pvr::JobDataOf(pvr::SplitTextLines(bytes, pvr::LineEnds::kAny));
    if (job_data.size() > 32767) std::abort();
    const pvr::Text target = pvr::TargetPathOf(job_data);
    // Three pieces, each a slice of the job data; they may overlap.
    if (target.size() > 3 * job_data.size()) std::abort();
    const pvr::Text command = pvr::LaunchCommandOf(job_data);
    if (command.size() > job_data.size()) std::abort();
  } catch (const pvr::Failure& failure) {
    if (failure.kind != pvr::FailureKind::kInvalidArgument &&
        failure.kind != pvr::FailureKind::kOverflow) {
      std::abort();
    }
  }
  return 0;
}
