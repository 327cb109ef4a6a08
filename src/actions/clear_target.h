#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "text/text.h"

namespace pvr {

// Deletes whatever file stands at the target path, in the folder the plan
// holds, pausing about two seconds after each deletion, until none is left.
void ClearTarget(const Text& target_path, const HeldFolder& folder);

// The whole second two seconds after the given time of day, an exact half
// going to the even second.
std::int32_t PauseDeadline(double seconds_since_midnight);

}  // namespace pvr
