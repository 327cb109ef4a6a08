// What the end-to-end runner needs of the platform it runs on: starting the
// launcher and the kinds of files only some platforms have.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace pvr_test {

namespace fs = std::filesystem;

// A name from the table, in the bytes of the platform's 8-bit code page.
fs::path NativePath(const std::string& bytes);

// A path the build knows in its host's form, as this program sees it.
std::string BuildPath(const char* path);

// Starts the launcher in dir with this argument text, these environment
// variables set over a plain environment (an empty value unsets one), and
// its error stream in the file errors.
std::intptr_t StartLauncher(
    const fs::path& launcher, const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment,
    const fs::path& errors);

// The exit status; a launcher still running after the given seconds is
// killed, and its status is none the launcher gives.
int FinishLauncher(std::intptr_t started, double seconds);

// Setup steps only the platform knows: fifo, hidden, system, hold.
bool ApplyPlatformStep(const std::string& verb, const fs::path& path,
                       const std::string& argument);

bool IsAdministrator();

}  // namespace pvr_test
