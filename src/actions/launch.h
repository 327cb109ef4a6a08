#pragma once

#include "platform/platform.h"

namespace pvr {

// Starts the program found for the launch command, minimised and without
// focus, its output kept in the output file where one is open; does not
// wait.
void LaunchMinimized(const ProgramToStart& program, HeldFile* output,
                     const Text& target_path);

}  // namespace pvr
