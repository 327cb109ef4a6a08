#pragma once

#include "text/text.h"

namespace pvr {

// Starts the launch command minimised and without focus; does not wait.
void LaunchMinimized(const Text& launch_command);

}  // namespace pvr
