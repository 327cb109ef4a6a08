#pragma once

#include "platform/platform.h"

namespace pvr {

// Starts the program found for the launch command, minimised and without
// focus; does not wait.
void LaunchMinimized(const ProgramToStart& program);

}  // namespace pvr
