#pragma once

#include <vector>

#include "platform/platform.h"
#include "text/text.h"

namespace pvr {

// The four lines a run leaves in the run log.
std::vector<Text> RunRecordLines(const Text& executable_base_name,
                                 const ClockTime& time, const Text& target_path,
                                 const Text& launch_command);

// Where "~QZ-PVR-Log.txt" lies, checked to take this run's record whole;
// fails, changing nothing, where it could not. The log already there is
// opened, to be appended to.
RunLogPlace PlanRunLog(const Text& executable_base_name,
                       const Text& target_path, const Text& launch_command,
                       HeldFile& log);

// Appends this run's record, stamped with the time of the append, to the
// run log held open since before the target was cleared; gives its lines.
std::vector<Text> AppendRunRecord(HeldFile& log,
                                  const Text& executable_base_name,
                                  const Text& target_path,
                                  const Text& launch_command);

}  // namespace pvr
