// The POSIX platform's rules over facts: the output file's bound and end
// line, program images and the kernel's rules, a record cut back at the
// file-size limit, who may own what the run takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <tuple>
#include <utility>

#include "platform/internal-posix.h"

namespace pvr {
namespace {

// A path of this test process's own in the scratch directory.
std::string ScratchPath(const std::string& name) {
  return ::testing::TempDir() + name + std::to_string(getpid());
}

// The failure the call throws, if any.
template <typename Call>
std::optional<Failure> FailureOf(const Call& call) {
  try {
    call();
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

TEST(RecordingOutputTest, KeptWithinItsBoundAndItsEndSaid) {
  const std::string path = ScratchPath("pvr-output-");
  std::string lines;
  for (int i = 0; i < 300000; ++i) lines += "line " + std::to_string(i) + "\n";
  std::ofstream(path) << lines;
  const int file = open(path.c_str(), O_RDWR);
  TrimOutput(file);
  close(file);
  std::ifstream in(path);
  const std::string kept(std::istreambuf_iterator<char>(in), {});
  std::remove(path.c_str());
  // Its first 64 KiB, a line that says so, and its end from a whole line.
  EXPECT_NEAR(double(kept.size()), 1 << 19, 80);
  EXPECT_EQ(kept.substr(0, 65536), lines.substr(0, 65536));
  const auto end = kept.find("kept ...]\nline ");
  EXPECT_EQ(end, 65536 + 51u);
  EXPECT_EQ(lines.substr(lines.size() - (kept.size() - end - 10)),
            kept.substr(end + 10));
  // At its bound a file stays whole; a byte past it, it is cut; one that
  // cannot be written stays as it is.
  const off_t bound = off_t{1} << 20;
  for (const auto& [size, flags] :
       {std::pair{bound, O_RDWR}, {bound + 1, O_RDWR}, {bound + 1, O_RDONLY}}) {
    const int file = open(path.c_str(), flags | O_CREAT, 0600);
    struct stat status {};
    EXPECT_EQ(truncate(path.c_str(), size), 0);
    TrimOutput(file);
    fstat(file, &status);
    close(file);
    EXPECT_EQ(status.st_size == size, size == bound || flags == O_RDONLY);
  }
  std::remove(path.c_str());
  std::tm at{};
  at.tm_hour = 7, at.tm_min = 5, at.tm_sec = 9;
  EXPECT_EQ(EndLine(at, 3725, 3 << 8, -1),
            "--- ended at 07:05:09 after 1:02:05 with status 3; no file at the "
            "target ---\n");
  EXPECT_EQ(EndLine(at, 59, SIGKILL, 0),
            "--- ended at 07:05:09 after 0:00:59 by signal 9 (Killed); a file "
            "of 0 bytes at the target ---\n");
}

// A header of either word size and byte order whose second program header
// names the interpreter.
std::string Image(bool wide, bool big, unsigned machine,
                  const std::string& interpreter = "/ld") {
  std::string bytes(256, '\0');
  const auto put = [&](std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      bytes[at + (big ? size - 1 - i : i)] = static_cast<char>(value >> 8 * i);
  };
  const std::size_t word = wide ? 8 : 4, table = wide ? 64 : 52,
                    entry = wide ? 56 : 32;
  bytes.replace(0, 6,
                {'\x7f', 'E', 'L', 'F', wide ? '\2' : '\1', big ? '\2' : '\1'});
  put(16, 3, 2);
  put(18, machine, 2);
  put(wide ? 32 : 28, table, word);
  put(wide ? 54 : 42, entry, 2);
  put(wide ? 56 : 44, 2, 2);
  put(table, 1, 4);
  put(table + entry, 3, 4);
  put(table + entry + word, 190, word);
  put(table + entry + 4 * word, 66, word);
  return bytes.replace(190, interpreter.size(), interpreter);
}

#if defined(__x86_64__) || defined(__i386__)
const unsigned native = 62;
#else
const unsigned native = 183;
#endif

TEST(ProgramTest, ImagesAndRegisteredFormatsAreTold) {
  for (const bool wide : {false, true}) {
    for (const bool big : {false, true}) {
      std::string interpreter;
      EXPECT_TRUE(IsNativeImage(Image(wide, big, native), interpreter));
      EXPECT_EQ(interpreter, "/ld") << wide << big;
      EXPECT_FALSE(IsNativeImage(Image(wide, big, native + 256), interpreter));
      EXPECT_TRUE(
          IsNativeImage(Image(wide, big, native + 256), interpreter, true));
      std::string executable = Image(wide, big, native);
      executable[big ? 17 : 16] = 2;  // ET_EXEC, not ET_DYN
      EXPECT_TRUE(IsNativeImage(executable, interpreter));
    }
  }
  std::string none;
  EXPECT_FALSE(IsNativeImage(std::string("\x7f") + "ELF", none));
  const std::string magic = "enabled\ninterpreter /q\nflags: F\noffset 1\n";
  EXPECT_TRUE(TakesFormat(magic + "magic 4c46\nmask ff\n", "p", "\x7fLFz"));
  EXPECT_TRUE(TakesFormat(magic + "magic 4c46\nmask ff00\n", "p", "\x7fLGz"));
  EXPECT_FALSE(TakesFormat(magic + "magic 4c46\nmask ff\n", "p", "\x7fLGz"));
  EXPECT_FALSE(TakesFormat(magic + "magic 4c4647\n", "p", "\x7fLFz"));
  EXPECT_TRUE(TakesFormat("enabled\nmagic 4c\nmask f0", "p", "Oz"));
  EXPECT_TRUE(TakesFormat("enabled\noffset 10\nmagic 4c", "p", "0123456789L"));
  EXPECT_FALSE(TakesFormat("enabled\nmagic", "p", ""));
  EXPECT_FALSE(TakesFormat("disabled\nmagic 7f\n", "p", "\x7f"));
  EXPECT_TRUE(TakesFormat("enabled\nextension .exe\n", "a.b/c.exe", ""));
  EXPECT_FALSE(TakesFormat("enabled\nextension .exe\n", "a.exe/c", ""));
  // Where no registration can be read, only plain text without an extension
  // is refused: a registration could take anything else.
  for (const auto& [path, header, taken] :
       {std::tuple{"a/rec.x", "echo hi\n", true},
        {"a/rec", "\x01\x02", true},
        {"a/.rec", "echo hi\n", true},
        {"a.b/rec", "echo hi\n", false}})
    EXPECT_EQ(IsRegisteredFormat(path, header, "/none/"), taken) << path;
}

// Refused before anything changes is what the kernel would not start, and
// only that: five scripts in a row, not six; an interpreter's name within
// the 256 bytes it reads; an image's interpreter a file, and an ELF image.
TEST(ProgramTest, TheKernelsRulesDecide) {
  const std::string dir = ScratchPath("pvr-programs-") + "/";
  const std::pair<std::string, int> cases[] = {
      {"", 9},
      {"#!/bin/sh\n", 0},
      {"#!" + dir + "2\n", 0},
      {"#!" + dir + "3\n", 0},
      {"#!" + dir + "4\n", 0},
      {"#!" + dir + "5\n", 0},
      {"#!" + dir + "6\n", 7},
      {"#!" + std::string(260, 'x') + "\n", 9},
      {Image(true, false, native, "/."), 6},
      {Image(true, false, native, dir + "2"), 10}};
  mkdir(dir.c_str(), 0700);
  int number = 0;
  for (const auto& [content, status] : cases) {
    const std::string path = dir + std::to_string(++number);
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), 0700);
    const auto failure =
        FailureOf([&] { FindProgram(TextOfBytes(path), {TextOfBytes(path)}); });
    EXPECT_EQ(failure ? ExitStatusOf(failure->kind) : 0, status) << number;
  }
  EXPECT_TRUE(IsPlainText("") && IsPlainText("echo \xc3\xa9\t\r\n\f\v"));
  EXPECT_FALSE(IsPlainText(std::string("a\x7f") + "ELF\1") ||
               IsPlainText(std::string("a\0", 2)));
  EXPECT_EQ(ScriptInterpreter("#! \t/bin/sh\t-e\n"), "/bin/sh");
  EXPECT_EQ(ScriptInterpreter("#!/a" + std::string(250, ' ') + "b"), "/a");
  EXPECT_EQ(ScriptInterpreter("#!/" + std::string(252, 'a') + " b"), "");
  EXPECT_EQ(ScriptInterpreter("#!/" + std::string(251, 'a') + " b"),
            "/" + std::string(251, 'a'));
}

// A start that fails is told, under an emulator too, whose child does not
// share the launcher's memory.
TEST(ProcessTest, AStartThatFailsIsTold) {
  const std::string junk = ScratchPath("pvr-junk-");
  std::ofstream(junk) << "junk";
  chmod(junk.c_str(), 0700);
  const int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  char name[] = "rec", *argv[] = {name, nullptr};
  pid_t child = 0;
  const std::pair<std::string, int> cases[] = {
      {junk, ENOEXEC}, {"/dev", EACCES}, {"/none", ENOENT}};
  for (const auto& [path, error] : cases)
    EXPECT_EQ(SpawnRecorder(path, argv, null_device, null_device, child), error)
        << path;
  close(null_device);
  std::remove(junk.c_str());
}

TEST(RunLogTest, AWriteBeyondTheFileSizeLimitLeavesNoPartOfTheRecord) {
  const std::string path = ScratchPath("pvr-cut-back-");
  std::ofstream(path) << "earlier\n";
  rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{20, limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  // The record fits exactly, or by a byte too many not at all; what cannot
  // be made is named.
  const RunLogPlace fresh{TextOf((path + "-new").c_str()), {}};
  EXPECT_NO_THROW(CheckRunLog(fresh, {Text(19, u'x')}));  // and a line end
  EXPECT_THROW(CheckRunLog(fresh, {Text(20, u'x')}), Failure);
  const auto unmade = FailureOf([] {
    OpenRunLog({u"/missing/x/log", {u"/missing/x"}}, {});
  });
  EXPECT_TRUE(unmade && unmade->object == u"/missing/x");
  HeldFile log = OpenRunLog(RunLogPlace{TextOf(path.c_str()), {}}, HeldFile());
  const auto cut =
      FailureOf([&] { AppendLines(log, {u"twenty-one characters"}); });
  EXPECT_TRUE(cut && cut->kind == FailureKind::kInputOutput);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "earlier\n");
  // Made by the act where the plan found none, and judged as the plan
  // judges: in a folder anyone may write, no file with a second link.
  const std::string shared = path + "-shared", linked = shared + "/log";
  mkdir(shared.c_str(), 0700);
  chmod(shared.c_str(), 0777);
  link(path.c_str(), linked.c_str());
  EXPECT_THROW(OpenRunLog(RunLogPlace{TextOfBytes(linked), {}}, HeldFile()),
               Failure);
  // A folder to be made that another made meanwhile: only the user's alone.
  const RunLogPlace made{TextOfBytes(shared + "/x"), {TextOfBytes(shared)}};
  EXPECT_THROW(OpenRunLog(made, HeldFile()), Failure);
  std::remove(linked.c_str());
  rmdir(shared.c_str());
  std::remove(path.c_str());
}

// Who may own what a run takes, each rule over the facts alone: the
// entry's type, mode, owner and links, its folder's mode and owner, the
// user (1000; 0 is root).
TEST(OwnershipTest, EachRuleDecidesOverTheFacts) {
  using Status = struct stat;
  using Rule = void (*)(const Text&, const Status&, const Status&, uid_t);
  const Rule directory = [](const Text& path, const Status&,
                            const Status& entry, uid_t user) {
    RequirePrivateDirectory(path, entry, user);
  };
  // The rule; the folder's mode and owner; the entry's type and mode, its
  // owner; the user; the entry's links; the reason's start, "" where taken.
  using Case = std::tuple<Rule, mode_t, uid_t, mode_t, uid_t, uid_t, nlink_t,
                          const char*>;
  const Case cases[] = {
      {RequireOwnLink, 0755, 5, S_IFLNK, 6, 1000, 1, ""},
      {RequireOwnLink, 0775, 1000, S_IFLNK, 1000, 1000, 1, "a symbolic link"},
      {RequireOwnLink, 0757, 1000, S_IFLNK, 1000, 1000, 1, "a symbolic link"},
      {RequireOwnLink, 01777, 5, S_IFLNK, 1000, 1000, 1, ""},
      {RequireOwnLink, 01777, 5, S_IFLNK, 5, 1000, 1, ""},
      {RequireOwnLink, 01777, 5, S_IFLNK, 6, 1000, 1, "a symbolic link"},
      {RequireOwnFile, 0755, 5, S_IFIFO, 1000, 1000, 1, "not a regular"},
      {RequireOwnFile, 0755, 5, S_IFREG, 6, 1000, 2, ""},
      {RequireOwnFile, 0775, 5, S_IFREG, 6, 1000, 1, "a file of another"},
      {RequireOwnFile, 0757, 5, S_IFREG, 5, 1000, 1, ""},
      {RequireOwnFile, 01777, 5, S_IFREG, 1000, 1000, 1, ""},
      {RequireOwnFile, 01777, 5, S_IFREG, 1000, 1000, 2, "a file with more"},
      {directory, 0, 0, S_IFDIR | 0700, 1000, 1000, 2, ""},
      {directory, 0, 0, S_IFDIR | 0710, 1000, 1000, 2, "not a directory"},
      {directory, 0, 0, S_IFDIR | 0701, 1000, 1000, 2, "not a directory"},
      {directory, 0, 0, S_IFDIR | 0700, 0, 1000, 2, "not a directory"},
      {directory, 0, 0, S_IFLNK | 0700, 1000, 1000, 1, "not a directory"},
      {RequireRemovable, 01777, 5, S_IFREG, 6, 1000, 1, "another user's"},
      {RequireRemovable, 01777, 1000, S_IFREG, 6, 1000, 1, ""},
      {RequireRemovable, 01777, 5, S_IFREG, 1000, 1000, 1, ""},
      {RequireRemovable, 01777, 5, S_IFREG, 6, 0, 1, ""},
      {RequireRemovable, 0777, 5, S_IFREG, 6, 1000, 1, ""},
  };
  int number = 0;
  for (const auto& [rule, folder_mode, folder_owner, mode, owner, user, links,
                    refusal] : cases) {
    Status folder{}, entry{};
    folder.st_mode = S_IFDIR | folder_mode, folder.st_uid = folder_owner;
    entry.st_mode = mode, entry.st_uid = owner, entry.st_nlink = links;
    const auto failure = FailureOf([&] { rule(u"f", folder, entry, user); });
    const std::string refused = failure ? BytesOf(failure->reason) : "";
    EXPECT_EQ(refused.substr(0, std::strlen(refusal)), refusal) << ++number;
    EXPECT_EQ(refused.empty(), !*refusal) << number;
  }
}

}  // namespace
}  // namespace pvr
