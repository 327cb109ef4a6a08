// The side of the launcher's table runner that differs by platform, one
// file each: launcher-posix.cc and launcher-win32.cc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pvr_test {

namespace fs = std::filesystem;

// What a row's steps ask of its starts.
struct PlatformState {
  bool unprivileged = false, closed_pipe = false;  // POSIX
  std::vector<std::pair<fs::path, std::string> > mounts;
  bool on_hidden_station = false;  // Windows, for the next start
  void* job = nullptr;             // the next start goes into it
  void* job_to_close = nullptr;    // when the launcher ends
};

// A table's name in the bytes of the platform's 8-bit code page.
fs::path NativePath(const std::string& bytes);

// The launcher started in dir with this argument text, these variables set
// (an empty value unsets one) over a plain environment on POSIX, over the
// runner's on Windows; its output and errors in dir's "stdout" and "stderr".
std::intptr_t StartLauncher(
    PlatformState& state, const fs::path& launcher,
    const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment);

// Its exit status; one still running after the seconds is killed, and its
// status is none the launcher gives.
int FinishLauncher(PlatformState& state, std::intptr_t started, double seconds);

// The steps only the platform knows; false where the row cannot run here.
bool ApplyPlatformStep(PlatformState& state, const std::string& verb,
                       const fs::path& path, const std::string& argument);

int SecondsOfTheDay();

// Only the user (and the system's own accounts) may open the file.
bool IsPrivate(const fs::path& path);

}  // namespace pvr_test
