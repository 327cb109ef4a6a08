// Measures one whole run of pvr-launch side by side with the floor (a C
// program that only starts the command) and a shell-script peer, all three
// starting the same command, and prints a table. Usage:
//   pvr-bench PVR-LAUNCH FLOOR PEER-SCRIPT [REPETITIONS]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
  double seconds;
  double cpu_seconds;
  long wakeups;  // voluntary context switches
};

// Runs the command to its end, with the scratch TEMP and output discarded;
// it must end with the given status.
Sample Measure(std::vector<std::string> words, const fs::path& temp,
               int expected_status = 0) {
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string temp_variable = "TEMP=" + temp.string();
  std::string path = std::string("PATH=") + std::getenv("PATH");
  char* envp[] = {temp_variable.data(), path.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp) != 0) {
    std::perror(argv[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const std::chrono::duration<double> took = Clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != expected_status) {
    std::fprintf(stderr, "%s failed\n", argv[0]);
    std::exit(1);
  }
  const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                     usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  return {took.count(), cpu, usage.ru_nvcsw};
}

// The program's own peak resident set, read from /proc as it exits. (The
// maximum RSS that wait4 reports would include its spawner's, since the
// spawned child runs on the spawner's memory until it execs.)
long PeakKilobytes(const std::string& program, const std::string& argument,
                   const fs::path& temp) {
  const pid_t child = fork();
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    setenv("TEMP", temp.c_str(), 1);
    execl(program.c_str(), program.c_str(), argument.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  long peak = -1;
  int status = 0;
  waitpid(child, &status, 0);  // stopped at the exec
  ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT);
  ptrace(PTRACE_CONT, child, nullptr, nullptr);
  while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      std::ifstream in("/proc/" + std::to_string(child) + "/status");
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6));
      }
    }
    const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
    ptrace(PTRACE_CONT, child, nullptr, signal);
  }
  return peak;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long CallgrindInstructions(const std::string& launcher, const fs::path& job,
                           const fs::path& temp) {
  const fs::path out = temp / "callgrind.out";
  const std::string command =
      "valgrind --tool=callgrind --callgrind-out-file='" + out.string() +
      "' '" + launcher + "' '" + job.string() + "' >/dev/null 2>&1";
  if (std::system(("TEMP='" + temp.string() + "' " + command).c_str()) != 0) {
    return -1;
  }
  std::ifstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("summary:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(
        stderr,
        "usage: pvr-bench PVR-LAUNCH FLOOR PEER-SCRIPT [REPETITIONS]\n");
    return 2;
  }
  const std::string launcher = fs::absolute(argv[1]), floor = argv[2],
                    peer = argv[3];
  const int repetitions = argc > 4 ? std::atoi(argv[4]) : 200;
  char pattern[] = "/tmp/pvr-bench-XXXXXX";
  const fs::path scratch = mkdtemp(pattern);
  const fs::path job = scratch / "job.xml";
  const fs::path target = scratch / "show.ts";
  std::ofstream(job) << "<pvr-data>\n  <pvr-work-dir>" << scratch.string()
                     << "/</pvr-work-dir>\n"
                        "  <pvr-show-file-name>show</pvr-show-file-name>\n"
                        "  <pvr-show-file-ext>.ts</pvr-show-file-ext>\n"
                        "  <pvr-show-cmd><code>true</code></pvr-show-cmd>\n"
                        "</pvr-data>\n";

  // Round-robin, so that whatever else the machine does weighs on all four;
  // each run starts once the previous one's detached command has ended.
  const std::vector<std::pair<const char*, std::vector<std::string>>> entrants =
      {{"pvr-launch", {launcher, job}},
       {"floor (C, spawn only)", {floor, "true"}},
       {"floor with a keeper (C: fork, spawn, report)",
        {floor, "--keeper", "true"}},
       {"peer (sh, sed, grep)", {"/bin/sh", peer, job}}};
  std::vector<std::vector<double>> times(entrants.size());
  for (int i = 0; i < repetitions; ++i) {
    for (std::size_t e = 0; e < entrants.size(); ++e) {
      times[e].push_back(Measure(entrants[e].second, scratch).seconds);
      usleep(10000);
    }
  }
  const double floor_median = Median(times[1]);
  std::printf("%d runs each, wall time from start to exit:\n\n", repetitions);
  std::printf("| program | min (ms) | median (ms) | median / floor |\n");
  std::printf("|---|---|---|---|\n");
  for (std::size_t e = 0; e < entrants.size(); ++e) {
    std::printf("| %s | %.3f | %.3f | %.2fx |\n", entrants[e].first,
                *std::min_element(times[e].begin(), times[e].end()) * 1e3,
                Median(times[e]) * 1e3, Median(times[e]) / floor_median);
  }

  // Job files far larger than a job: a programme guide handed over by
  // mistake (a sparse file of zeros), and a job followed by 200 MB.
  const fs::path guide = scratch / "guide.xml", long_job = scratch / "long.xml";
  fs::copy_file(job, long_job);
  std::ofstream(long_job, std::ios::app) << std::string(200 << 20, 'x');
  std::ofstream(guide).close();
  fs::resize_file(guide, std::uintmax_t{1} << 30);
  // Read once first, as a file just written is in the page cache: the first
  // read of a sparse file is the kernel filling its cache with zeros.
  const Sample cold_guide_run = Measure({launcher, guide}, scratch, 2);
  const Sample guide_run = Measure({launcher, guide}, scratch, 2);
  const long guide_peak = PeakKilobytes(launcher, guide, scratch);
  std::vector<double> long_times;
  for (int i = 0; i < 20; ++i) {
    long_times.push_back(Measure({launcher, long_job}, scratch).seconds);
  }
  const long long_peak = PeakKilobytes(launcher, long_job, scratch);
  fs::remove(guide);
  fs::remove(long_job);

  // CPU of the pause alone: a run's with one, less a run's without.
  std::vector<double> run_cpu;
  for (int i = 0; i < 20; ++i) {
    run_cpu.push_back(Measure({launcher, job}, scratch).cpu_seconds);
  }
  std::ofstream(target) << "stale";
  const Sample pause = Measure({launcher, job}, scratch);
  const long instructions = CallgrindInstructions(launcher, job, scratch);
  const long peak = PeakKilobytes(launcher, job, scratch);
  const long floor_peak = PeakKilobytes(floor, "true", scratch);
  std::printf("\n| measure | value | target |\n|---|---|---|\n");
  std::printf(
      "| pvr-launch median / floor with a keeper median | %.2fx | at most "
      "1.02x |\n",
      Median(times[0]) / Median(times[2]));
  std::printf("| peer median / pvr-launch median | %.1fx | at least 5x |\n",
              Median(times[3]) / Median(times[0]));
  std::printf(
      "| CPU time during a deletion pause | %.3f%% of %.2f s | under 0.05%% "
      "|\n",
      100 * std::max(0.0, pause.cpu_seconds - Median(run_cpu)) / pause.seconds,
      pause.seconds);
  std::printf("| wakeups during a deletion pause | %ld | at most 3 |\n",
              pause.wakeups);
  std::printf(
      "| 1 GB zero-filled guide.xml: time (first read), peak memory | "
      "%.3f s (%.3f s), %.2f MB | under 1 s, under 4 MB |\n",
      guide_run.seconds, cold_guide_run.seconds, guide_peak / 1024.0);
  std::printf(
      "| 200 MB job, the job first: median time, peak memory | %.3f "
      "ms, %.2f MB | under 10 ms, under 4 MB |\n",
      Median(long_times) * 1e3, long_peak / 1024.0);
  std::printf(
      "| peak memory (VmHWM) | %.2f MB (floor: %.2f MB) | under 4 MB |\n",
      peak / 1024.0, floor_peak / 1024.0);
  if (instructions > 0) {
    std::printf("| instructions of one run (callgrind) | %ld | recorded |\n",
                instructions);
  } else {
    std::printf(
        "| instructions of one run (callgrind) | valgrind not found | recorded "
        "|\n");
  }
  fs::remove_all(scratch);
  return 0;
}
