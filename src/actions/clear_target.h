#pragma once

#include <cstdint>

#include "text/text.h"

namespace pvr {

// Deletes whatever file stands at the target path, pausing about two
// seconds after each deletion, until none is left.
void ClearTarget(const Text& target_path);

// The whole second two seconds after the given time of day, an exact half
// going to the even second.
std::int32_t PauseDeadline(double seconds_since_midnight);

}  // namespace pvr
