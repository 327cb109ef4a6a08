#include "actions/recording_output.h"

#include <cstdint>
#include <utility>

namespace pvr {

Text RecordingOutputName(const Text& target_path) {
  // FNV-1a: short, and the same on every platform and in every build.
  std::uint32_t digest = 2166136261u;
  for (const char16_t c : target_path) digest = (digest ^ c) * 16777619u;
  const auto slash = target_path.find_last_of(PathSeparator() + u'/');
  // Long show names are cut, so that the name stays one a file may have.
  const Text name = LeftText(
      slash == Text::npos ? target_path : target_path.substr(slash + 1), 120);
  Text hex;
  for (int shift = 28; shift >= 0; shift -= 4) {
    hex += u"0123456789abcdef"[digest >> shift & 15];
  }
  return TextOf("~QZ-PVR-") + name + u'-' + hex + TextOf(".txt");
}

RunLogPlace RecordingOutputPlace(const RunLogPlace& log,
                                 const Text& target_path) {
  const auto slash = log.path.find_last_of(PathSeparator() + u'/');
  return RunLogPlace{
      log.path.substr(0, slash + 1) + RecordingOutputName(target_path),
      log.directories_to_make};
}

std::optional<Text> RecordingInProgress(const RunLogPlace& output) {
  if (!output.directories_to_make.empty()) return std::nullopt;
  const std::optional<Text> heading = LockedFileHeading(output.path);
  if (!heading) return std::nullopt;
  // "--- pvr-launch.exe at 20:00:05 ---"
  const std::int32_t at = FindText(*heading, TextOf(" at "));
  return at == 0 ? Text() : LeftText(TextFrom(*heading, at + 4), 8);
}

std::vector<Text> RecordingOutputHeading(const std::vector<Text>& record) {
  return std::vector<Text>(record.begin() + 1, record.end());
}

std::optional<HeldFile> OpenRecordingOutput(const RunLogPlace& place,
                                            HeldFile planned,
                                            const std::vector<Text>& heading) {
  try {
    HeldFile output = OpenRunLog(place, std::move(planned), true);
    AppendLines(output, heading);
    return output;
  } catch (const Failure&) {
    return std::nullopt;
  }
}

}  // namespace pvr
