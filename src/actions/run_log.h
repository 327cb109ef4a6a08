#pragma once

#include <vector>

#include "platform/platform.h"
#include "text/text.h"

namespace pvr {

// The four lines a run leaves in the run log.
std::vector<Text> RunRecordLines(const Text& executable_base_name,
                                 const ClockTime& time, const Text& target_path,
                                 const Text& launch_command);

// The path of "~QZ-PVR-Log.txt" in the run log directory, the directory made
// and both checked, so that a run that could not log stops before anything
// is deleted.
Text PrepareRunLog();

// Appends this run's record to the run log.
void AppendRunRecord(const Text& log_path, const Text& target_path,
                     const Text& launch_command);

}  // namespace pvr
