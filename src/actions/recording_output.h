#pragma once

#include <optional>
#include <vector>

#include "platform/platform.h"
#include "text/text.h"

namespace pvr {

// The file that keeps a recording's output and end, one for each target
// (the next recording of the target replaces it): "~QZ-PVR-" and the
// target's file name, then a digest of its whole path, so that two shows
// of one name in different folders keep apart.
Text RecordingOutputName(const Text& target_path);

// Beside the run log, made with the same care.
RunLogPlace RecordingOutputPlace(const RunLogPlace& log,
                                 const Text& target_path);

// When the recording of this target that holds its output file began, as
// that file's first line says ("20:00:05"), or nothing where none runs.
std::optional<Text> RecordingInProgress(const RunLogPlace& output);

// The lines that open the output file: the run record's, less its empty
// first line.
std::vector<Text> RecordingOutputHeading(const std::vector<Text>& record);

// The output file the plan opened, or made now, what it held to be
// dropped, and the heading appended; nothing where it cannot be: a
// recording is never refused for want of its diagnostics, and its streams
// then go where they would without one.
std::optional<HeldFile> OpenRecordingOutput(const RunLogPlace& place,
                                            HeldFile planned,
                                            const std::vector<Text>& heading);

}  // namespace pvr
