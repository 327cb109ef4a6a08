// The recording's keeper on POSIX: the process that starts the recorder,
// waits for its end and keeps its output file. The recorder writes to the
// file itself, appending, never to a pipe: a keeper that is killed or slow
// can neither stop nor block the recording; only the bound is lost.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/internal-posix.h"
#include "platform/platform.h"

namespace pvr {
namespace {

// At most this much, once the keeper has looked (each second): the first
// part, where the recorder says what it opened, and the last, where it
// says why it ended.
constexpr off_t kOutputBound = 1 << 20;
constexpr off_t kKeptStart = 64 << 10;
constexpr off_t kKeptEnd = 448 << 10;

void WriteAll(int descriptor, const std::string& bytes, off_t at) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put = pwrite(descriptor, bytes.data() + done,
                               bytes.size() - done, at + off_t(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

std::string Read(int descriptor, off_t from, off_t to) {
  std::string bytes(static_cast<std::size_t>(to - from), '\0');
  const ssize_t got = pread(descriptor, bytes.data(), bytes.size(), from);
  bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return bytes;
}

std::string TwoDigits(long value) {
  return std::string{char('0' + value / 10 % 10), char('0' + value % 10)};
}

// Puts insert at the offset at, then what the file holds from from on, and
// cuts the file there; what is appended meanwhile comes along.
void Rewrite(int file, off_t at, const std::string& insert, off_t from) {
  struct stat status;
  if (fstat(file, &status) != 0) return;
  const std::string moved = insert + Read(file, from, status.st_size);
  WriteAll(file, moved, at);
  // What the recorder appended meanwhile lies past the old end: it comes
  // along, up to the moment of the cut.
  off_t to = at + off_t(moved.size()), copied = status.st_size;
  for (int round = 0;
       round < 8 && fstat(file, &status) == 0 && status.st_size > copied;
       ++round) {
    const std::string more = Read(file, copied, status.st_size);
    WriteAll(file, more, to);
    to += off_t(more.size());
    copied += off_t(more.size());
  }
  if (ftruncate(file, to) != 0) return;
}

}  // namespace

void TrimOutput(int output) {
  struct stat status;
  if (fstat(output, &status) != 0 || status.st_size <= kOutputBound) return;
  // The end from its first whole line.
  off_t from = status.st_size - kKeptEnd;
  const auto line = Read(output, from, from + 4096).find('\n');
  if (line != std::string::npos) from += off_t(line) + 1;
  Rewrite(output, kKeptStart,
          "\n[... cut here: the output's start and its end are kept ...]\n",
          from);
}

std::string EndLine(const std::tm& when, long seconds, int status,
                    long long target_size) {
  std::string line = "--- ended at " + TwoDigits(when.tm_hour) + ":" +
                     TwoDigits(when.tm_min) + ":" + TwoDigits(when.tm_sec) +
                     " after " + std::to_string(seconds / 3600) + ":" +
                     TwoDigits(seconds / 60 % 60) + ":" +
                     TwoDigits(seconds % 60);
  if (WIFSIGNALED(status)) {
    line += " by signal " + std::to_string(WTERMSIG(status)) + " (" +
            strsignal(WTERMSIG(status)) + ")";
  } else {
    line += " with status " + std::to_string(WEXITSTATUS(status));
  }
  return line + "; " +
         (target_size < 0
              ? std::string("no file")
              : "a file of " + std::to_string(target_size) + " bytes") +
         " at the target ---\n";
}

void KeepRecording(const std::string& path, char* const argv[], int null_device,
                   int output, off_t replaced, int report,
                   const std::string& output_path, const std::string& target) {
  // The start first, since the launcher waits for its word; the recorder
  // is started detached whatever the keeper holds. Its end is waited for
  // even where the caller ignored SIGCHLD, which would reap it unseen.
  signal(SIGCHLD, SIG_DFL);
  sigset_t child_ended;
  sigemptyset(&child_ended);
  sigaddset(&child_ended, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_ended, nullptr);
  pid_t recorder = 0;
  const int error = SpawnRecorder(path, argv, null_device, output, recorder);
  if (write(report, &error, sizeof error) < 0 || error != 0) _exit(0);
  // Then it lets go of all that is the caller's: its session, its streams
  // and descriptors; its own writes end nothing.
  setsid();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // Every descriptor of the caller's closed (the report's too), its
  // streams on /dev/null, the output file on 3.
  if (!KeepOnlyDescriptors({null_device, null_device, null_device, output})) {
    closefrom(4);
  }
  // Cut through a descriptor of its own: the recorder's appends, and a
  // write at an offset on Linux, go to the end whatever the offset. The
  // file opened again must be the one the recorder writes to.
  struct stat kept, again;
  const int trimmed =
      open(output_path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  const bool trims = trimmed >= 0 && fstat(3, &kept) == 0 &&
                     fstat(trimmed, &again) == 0 &&
                     kept.st_dev == again.st_dev && kept.st_ino == again.st_ino;
  // The last recording's output goes now, off the launcher's way: emptying
  // the file at once costs a journaled file system's block freeing, and on
  // ext4 a flush at its close.
  if (trims && replaced > 0) Rewrite(trimmed, 0, "", replaced);
  const double started = MonotonicSeconds();
  int status = 0;
  for (;;) {
    const timespec second{1, 0};
    sigtimedwait(&child_ended, nullptr, &second);
    const pid_t ended = waitpid(recorder, &status, WNOHANG);
    if (ended == recorder || (ended < 0 && errno != EINTR)) break;
    if (trims) TrimOutput(trimmed);
  }
  if (trims) TrimOutput(trimmed);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  struct stat at_target;
  const bool file =
      lstat(target.c_str(), &at_target) == 0 && S_ISREG(at_target.st_mode);
  const std::string line =
      EndLine(local, std::lround(MonotonicSeconds() - started), status,
              file ? static_cast<long long>(at_target.st_size) : -1);
  if (write(3, line.data(), line.size()) < 0) _exit(1);
  _exit(0);
}

}  // namespace pvr
