#include "actions/run_log.h"

namespace pvr {
namespace {

Text TwoDigits(int value) {
  return Text{static_cast<char16_t>(u'0' + value / 10 % 10),
              static_cast<char16_t>(u'0' + value % 10)};
}

}  // namespace

std::vector<Text> RunRecordLines(const Text& executable_base_name,
                                 const ClockTime& time, const Text& target_path,
                                 const Text& launch_command) {
  // ".exe" stands literally, whatever the executable's real name: readers
  // of the log rely on the line's shape.
  return {
      Text(),
      TextOf("--- ") + executable_base_name + TextOf(".exe at ") +
          TwoDigits(time.hours) + u':' + TwoDigits(time.minutes) + u':' +
          TwoDigits(time.seconds) + TextOf(" ---"),
      TextOf("  Video File: ") + target_path,
      TextOf("     Command: ") + launch_command,
  };
}

Text PrepareRunLog() {
  const Text log_path =
      RunLogDirectory() + PathSeparator() + TextOf("~QZ-PVR-Log.txt");
  CheckAppendable(log_path);
  return log_path;
}

void AppendRunRecord(const Text& log_path, const Text& target_path,
                     const Text& launch_command) {
  AppendTextLines(log_path, RunRecordLines(ExecutableBaseName(), TimeOfDay(),
                                           target_path, launch_command));
}

}  // namespace pvr
