// The launcher's table runner on POSIX: starts, waits and the steps only
// POSIX knows.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "launcher.h"

namespace pvr_test {

fs::path NativePath(const std::string& bytes) { return bytes; }

std::intptr_t StartLauncher(
    PlatformState& state, const fs::path& launcher,
    const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment) {
  const pid_t child = fork();
  if (child != 0) return child;
  // Standard input closed, SIGTERM blocked and hang-ups ignored, as a
  // scheduler may leave them: the launcher must not take its own files for
  // standard input, nor hand the rest on to the recorder.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_SETMASK, &blocked, nullptr);
  signal(SIGHUP, SIG_IGN);
  for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
    const fs::path file = dir / (stream == STDOUT_FILENO ? "stdout" : "stderr");
    dup2(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), stream);
  }
  if (state.closed_pipe) {  // as from a scheduler that stopped reading
    int unread[2];
    if (pipe(unread) != 0 || close(unread[0]) != 0) _exit(125);
    dup2(unread[1], STDOUT_FILENO);
  }
  close(STDIN_FILENO);  // last: an open above would take its place
  // 3 and 4 held as a careless caller would: the recorder must see neither.
  dup2(dup2(STDERR_FILENO, 3), 4);
  const std::string zone = getenv("TZ") != nullptr ? getenv("TZ") : "";
  clearenv();
  setenv("PATH", "/usr/bin:/bin", 1);
  if (!zone.empty()) setenv("TZ", zone.c_str(), 1);  // the runner's clock
  for (const auto& [name, value] : environment)
    if (!value.empty()) setenv(name.c_str(), value.c_str(), 1);
  if (const char* size = getenv("PVR_FSIZE")) {
    const rlimit limit{std::stoul(size), std::stoul(size)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (const char* mask = getenv("PVR_UMASK"))
    umask(std::stoi(mask, nullptr, 8));
  // Cut at every space, so the launcher must join its words with one each.
  std::vector<std::string> words{launcher.string()};
  std::stringstream in(arguments);
  for (std::string word; std::getline(in, word, ' ');) words.push_back(word);
  if (!arguments.empty() && arguments.back() == ' ') words.push_back("");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Directories of the row's in the system's places, in a mount namespace
  // of the launcher's own; then an administrator's run made another user's.
  bool failed = chdir(dir.c_str()) != 0 ||
                (!state.mounts.empty() &&
                 (unshare(CLONE_NEWNS) != 0 ||
                  mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr)));
  for (const auto& [from, to] : state.mounts)
    failed = failed || mount(from.c_str(), to.c_str(), nullptr, MS_BIND, {});
  if (failed || (state.unprivileged && geteuid() == 0 &&
                 (setgid(65534) != 0 || setuid(65534) != 0)))
    _exit(126);
  execv(argv[0], argv.data());
  _exit(127);
}

int FinishLauncher(PlatformState&, std::intptr_t started, double seconds) {
  const auto pid = static_cast<pid_t>(started);
  int status = 0;
  for (int i = 0; waitpid(pid, &status, WNOHANG) == 0; ++i) {
    if (i == static_cast<int>(seconds * 1000)) kill(pid, SIGKILL);
    usleep(1000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int SecondsOfTheDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

bool IsPrivate(const fs::path& path) {
  const auto others = fs::perms::group_all | fs::perms::others_all;
  return (fs::status(path).permissions() & others) == fs::perms::none;
}

bool ApplyPlatformStep(PlatformState& state, const std::string& verb,
                       const fs::path& path, const std::string& argument) {
#ifdef __SANITIZE_ADDRESS__
  if (argument == "/proc") return false;  // its runtime reads /proc
#endif
  // Whether a mount namespace can be made here; not over the build tree
  // (on /dev/shm, say), which would hide the launcher itself.
  if (verb == "over") {
    const pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = 1;
    waitpid(probe, &status, 0);
    state.mounts.emplace_back(path, argument);
    return status == 0 && std::string(PVR_LAUNCH).rfind(argument + "/", 0) != 0;
  }
  // Only an administrator may give a file to another user, or run as one.
  if (verb == "owner")
    return geteuid() == 0 && lchown(path.c_str(), 65534, 65534) == 0;
  if (verb == "unprivileged") return state.unprivileged = geteuid() == 0;
  if (verb == "closedpipe") return state.closed_pipe = true;
  if (verb == "hold" || verb == "reading") {  // let go after the milliseconds
    const bool hold = verb == "hold";         // written to and locked
    const int held = open(
        path.c_str(), hold ? O_WRONLY | O_CREAT | O_CLOEXEC : O_RDONLY, 0600);
    std::thread([held, argument] {
      usleep(1000 * std::stoi(argument));
      close(held);
    }).detach();
    return held >= 0 && (!hold || flock(held, LOCK_EX) == 0);
  }
  if (verb == "killkeeper") {
    pid_t keeper = 0;
    return std::ifstream(path) >> keeper && kill(keeper, SIGKILL) == 0;
  }
  return verb == "fifo" && mkfifo(path.c_str(), 0644) == 0;
}

}  // namespace pvr_test
