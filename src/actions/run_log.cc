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

RunLogPlace PlanRunLog(const Text& executable_base_name,
                       const Text& target_path, const Text& launch_command,
                       HeldFile& log) {
  const RunLogPlace place = FindRunLogPlace(TextOf("~QZ-PVR-Log.txt"));
  // Every time of day is as long as any other.
  log = CheckRunLog(place, RunRecordLines(executable_base_name, ClockTime{},
                                          target_path, launch_command));
  return place;
}

std::vector<Text> AppendRunRecord(HeldFile& log,
                                  const Text& executable_base_name,
                                  const Text& target_path,
                                  const Text& launch_command) {
  const std::vector<Text> record = RunRecordLines(
      executable_base_name, TimeOfDay(), target_path, launch_command);
  AppendLines(log, record);
  return record;
}

}  // namespace pvr
