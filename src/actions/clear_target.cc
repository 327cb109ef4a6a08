#include "actions/clear_target.h"

#include <cmath>

#include "platform/platform.h"

namespace pvr {

std::int32_t PauseDeadline(double seconds_since_midnight) {
  const double later = seconds_since_midnight + 2;
  const double whole = std::floor(later);
  const double fraction = later - whole;
  const bool up =
      fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0);
  return static_cast<std::int32_t>(up ? whole + 1 : whole);
}

namespace {

// The deadline is a time of day, but the wait is measured on the monotonic
// clock, so it ends across midnight and across changes of the clock.
void PauseAfterDeletion() {
  const double now = SecondsSinceMidnight();
  const double end = MonotonicSeconds() + (PauseDeadline(now) - now);
  while (MonotonicSeconds() < end) DispatchEventsUntil(end);
}

}  // namespace

void ClearTarget(const Text& target_path, const HeldFolder& folder) {
  // An empty path names no file; there is nothing to clear.
  if (target_path.empty()) return;
  // Another process may re-create the file during the pause.
  while (FileExists(target_path, &folder)) {
    DeleteFile(target_path, &folder);
    PauseAfterDeletion();
  }
}

}  // namespace pvr
