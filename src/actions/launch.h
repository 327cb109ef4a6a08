#pragma once

#include "text/text.h"

namespace pvr {

// Starts the program found for the launch command, minimised and without
// focus; does not wait.
void LaunchMinimized(const Text& program, const Text& launch_command);

}  // namespace pvr
