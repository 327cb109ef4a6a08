#pragma once

#include <vector>

#include "platform/platform.h"
#include "text/text.h"

namespace pvr {

// The four lines a run leaves in the run log.
std::vector<Text> RunRecordLines(const Text& executable_base_name,
                                 const ClockTime& time, const Text& target_path,
                                 const Text& launch_command);

// Appends this run's record to "~QZ-PVR-Log.txt" in the run log directory.
void AppendRunRecord(const Text& target_path, const Text& launch_command);

}  // namespace pvr
