// What the end-to-end table cannot reach cheaply: the text rules in full,
// the command-line splitter, line ends and characters cut between pieces,
// the deadline's rounding, a target deleted by another run first, a record
// cut back at the file-size limit, the output file's name, bound and end
// line; on Windows, a flood of messages in the pause and the run log's
// owners.
#include <gtest/gtest.h>
#ifdef _WIN32
#include "platform/internal-win32.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "platform/internal-posix.h"
#endif

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include <utility>

#include "actions/clear_target.h"
#include "actions/recording_output.h"
#include "job/job_file.h"
#include "platform/platform.h"
#include "text/command_line.h"
#include "text/lines.h"
#include "text/text.h"

namespace pvr {
namespace {

TEST(TextTest, LowersAndReplacesCharacterForCharacter) {
  // Each range at both ends and past them; capitals whose small form is ASCII
  // stay, so foreign letters cannot pass for a tag.
  EXPECT_EQ(LowerCase(u"<PVR-DATA>\u00C0\u00DE\u00D7\u0100\u0136\u0139\u013B"
                      u"\u0147\u014A\u0176\u0391\u03AB\u03A2\u0400\u040F"
                      u"\u0410\u042F\u0130\u212A\u0149\u0178\u0430\u03AC"),
            u"<pvr-data>\u00E0\u00FE\u00D7\u0101\u0137\u013A\u013C\u0148"
            u"\u014B\u0177\u03B1\u03CB\u03A2\u0450\u045F\u0430\u044F"
            u"\u0130\u212A\u0149\u0178\u0430\u03AC");
  // Only the second backslash belongs to a pair; pairs do not overlap.
  EXPECT_EQ(ReplaceText(u"\\\\\"", u"\\\"", u"\""), u"\\\"");
  EXPECT_EQ(ReplaceText(u"aaa", u"aa", u"b"), u"ba");
  EXPECT_EQ(TextFrom(u"abc", 1), u"abc");
  // UTF-16 behind either byte order mark; an 8-bit text that begins alike.
  for (const auto& [bytes, utf16] : {std::pair{"\xff\xfe<\0", true},
                                     {"\xfe\xff\0<", true},
                                     {"\xff\xfe<p", false},
                                     {"\xfe\xff<\0", false}}) {
    EXPECT_EQ(IsUtf16(bytes, 4), utf16) << bytes + 2;
  }
}

TEST(CommandLineTest, SplitsByTheWindowsRules) {
  using Words = std::vector<Text>;
  const std::pair<Text, Words> cases[] = {
      {u" \t ", Words{}},
      {u"a\"b c\"d", Words{u"ab cd"}},
      {u"\"\" x", Words{u"", u"x"}},
      {u"a\\\\b", Words{u"a\\\\b"}},
      {u"a\\\" b", Words{u"a\"", u"b"}},
      {u"a\\\\\"b c\"", Words{u"a\\b c"}},
      {u"a\\\\\\\"b", Words{u"a\\\"b"}},
      {u"\"a b", Words{u"a b"}},
      {u"x\t\ty", Words{u"x", u"y"}},
  };
  for (const auto& [line, words] : cases) {
    EXPECT_EQ(SplitCommandLine(line), words)
        << std::string(line.begin(), line.end());
  }
}

TEST(JobFileTest, PiecesJoinAsTheWholeText) {
  const Text text = u"  <pvr-data> a  \r\n  b\t\r\n\n\r c\n </pvr-data>";
  // Cut anywhere: in a run of spaces, between CR and LF. Only the first LF
  // after a CR belongs to it.
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    for (const LineEnds ends : {LineEnds::kAny, LineEnds::kCarriageReturn}) {
      LineJoiner joiner{ends};
      Text joined;
      JoinTrimmedLines(joiner, text.substr(0, cut), joined);
      JoinTrimmedLines(joiner, text.substr(cut), joined);
      EXPECT_EQ(joined, ends == LineEnds::kAny
                            ? u"<pvr-data> ab\tc</pvr-data>"
                            : u"<pvr-data> ab\t\nc\n </pvr-data>")
          << cut;
    }
  }
}

TEST(ClearTargetTest, DeadlineRoundsHalfToEven) {
  const double now[] = {0.0, 0.49, 0.5, 0.51, 1.5, 7.25, 86399.7};
  const std::int32_t deadline[] = {2, 2, 2, 3, 4, 9, 86402};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(PauseDeadline(now[i]), deadline[i]);
  // Another run of the same job may delete the target first.
  EXPECT_NO_THROW(DeleteFile(u"gone before its deletion.ts"));
  // The clock the pause is measured on goes forward by what passed.
  const double start = MonotonicSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GT(MonotonicSeconds() - start, 0.029);
  EXPECT_LT(MonotonicSeconds() - start, 2);
}

// The statuses schedulers act on, one for each kind of failure, in order.
TEST(FailureTest, EachKindHasItsExitStatus) {
  for (int kind = 0; kind <= static_cast<int>(FailureKind::kOutOfMemory);
       ++kind)
    EXPECT_EQ(ExitStatusOf(static_cast<FailureKind>(kind)), kind + 2);
}

TEST(RecordingOutputTest, OneFileATargetNamedAfterItsShow) {
  EXPECT_EQ(RecordingOutputName(u"/r/Evening News.ts"),
            u"~QZ-PVR-Evening News.ts-f759e9d9.txt");
  EXPECT_NE(RecordingOutputName(u"/a/N.ts"), RecordingOutputName(u"/b/N.ts"));
  EXPECT_EQ(RecordingOutputName(u"/" + Text(300, u'x')).size(), 141u);
}

#ifndef _WIN32
TEST(RecordingOutputTest, KeptWithinItsBoundAndItsEndSaid) {
  const std::string path =
      ::testing::TempDir() + "pvr-output-" + std::to_string(getpid());
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
// names "/ld" as the interpreter.
std::string Image(bool wide, bool big, unsigned machine) {
  std::string bytes(200, '\0');
  const auto put = [&](std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      bytes[at + (big ? size - 1 - i : i)] = static_cast<char>(value >> 8 * i);
    }
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
  put(table + entry + 4 * word, 4, word);
  bytes.replace(190, 3, "/ld");
  return bytes;
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
      EXPECT_FALSE(IsNativeImage(Image(wide, big, 99), interpreter));
      EXPECT_TRUE(IsNativeImage(Image(wide, big, 99), interpreter, true));
      std::string executable = Image(wide, big, native);
      executable[big ? 17 : 16] = 2;  // ET_EXEC, not ET_DYN
      EXPECT_TRUE(IsNativeImage(executable, interpreter));
    }
  }
  std::string none;
  EXPECT_FALSE(
      IsNativeImage("\x7f"
                    "ELF",
                    none));
  const std::string magic = "enabled\ninterpreter /q\nflags: F\noffset 1\n";
  EXPECT_TRUE(TakesFormat(magic + "magic 4c46\nmask ff\n", "p", "\x7fLFz"));
  EXPECT_TRUE(TakesFormat(magic + "magic 4c46\nmask ff00\n", "p", "\x7fLGz"));
  EXPECT_FALSE(TakesFormat(magic + "magic 4c46\nmask ff\n", "p", "\x7fLGz"));
  EXPECT_FALSE(TakesFormat(magic + "magic 4c4647\n", "p", "\x7fLFz"));
  EXPECT_TRUE(TakesFormat("enabled\nmagic 4c\nmask f0", "p", "Oz"));
  EXPECT_FALSE(TakesFormat("disabled\nmagic 7f\n", "p", "\x7f"));
  EXPECT_TRUE(TakesFormat("enabled\nextension .exe\n", "a.b/c.exe", ""));
  EXPECT_FALSE(TakesFormat("enabled\nextension .exe\n", "a.exe/c", ""));
}

// Refused before anything changes is what the kernel would not start, and
// only that: five scripts in a row, not six; an interpreter's name within
// the 256 bytes it reads; an image's interpreter a file.
TEST(ProgramTest, TheKernelsRulesDecide) {
  const std::string dir =
      ::testing::TempDir() + "pvr-programs-" + std::to_string(getpid()) + "/";
  std::string image = Image(true, false, native);
  image.replace(190, 3, std::string("/.\0", 3));
  const std::pair<std::string, int> cases[] = {
      {"", 9},
      {"#!/bin/sh\n", 0},
      {"#!" + dir + "2\n", 0},
      {"#!" + dir + "3\n", 0},
      {"#!" + dir + "4\n", 0},
      {"#!" + dir + "5\n", 0},
      {"#!" + dir + "6\n", 7},
      {"#!" + std::string(260, 'x') + "\n", 9},
      {image, 6}};
  mkdir(dir.c_str(), 0700);
  int number = 0;
  for (const auto& [content, status] : cases) {
    const std::string path = dir + std::to_string(++number);
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), 0700);
    try {
      FindProgram(TextOfBytes("\"" + path + "\""));
      EXPECT_EQ(status, 0) << number;
    } catch (const Failure& failure) {
      EXPECT_EQ(ExitStatusOf(failure.kind), status) << number;
    }
  }
  EXPECT_TRUE(IsPlainText("") && IsPlainText("echo \xc3\xa9\t\r\n\f\v"));
  EXPECT_FALSE(IsPlainText("a\x7f"
                           "ELF\1") ||
               IsPlainText(std::string("a\0", 2)));
  EXPECT_EQ(ScriptInterpreter("#! \t/bin/sh\t-e\n"), "/bin/sh");
  EXPECT_EQ(ScriptInterpreter("#!/a" + std::string(250, ' ') + "b"), "/a");
  EXPECT_EQ(ScriptInterpreter("#!/" + std::string(252, 'a') + " b"), "");
  EXPECT_EQ(ScriptInterpreter("#!/" + std::string(251, 'a') + " b"),
            "/" + std::string(251, 'a'));
}

TEST(RunLogTest, AWriteBeyondTheFileSizeLimitLeavesNoPartOfTheRecord) {
  const std::string path =
      ::testing::TempDir() + "pvr-cut-back-" + std::to_string(getpid());
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
  try {
    OpenRunLog(RunLogPlace{TextOf("/missing/x/log"), {TextOf("/missing/x")}},
               HeldFile());
    ADD_FAILURE() << "made under a missing directory";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.object, TextOf("/missing/x"));
  }
  HeldFile log = OpenRunLog(RunLogPlace{TextOf(path.c_str()), {}}, HeldFile());
  try {
    AppendLines(log, {u"more than", u"twenty characters"});
    ADD_FAILURE() << "written beyond the limit";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.kind, FailureKind::kInputOutput);
  }
  setrlimit(RLIMIT_FSIZE, &limit);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "earlier\n");
  std::remove(path.c_str());
}
#endif

#ifdef _WIN32
TEST(DecodeTest, CharactersCutBetweenPiecesWait) {
  // UTF-8 of one to four bytes, and Shift-JIS: cut anywhere, the two pieces
  // decode as the whole text does.
  const std::pair<unsigned, std::string> cases[] = {
      {65001, "a\xd0\x9f\xd1\x80\xe2\x82\xac\xf0\x9f\x93\xba."},
      {932, "\x83\x65\x83\x8c a\x83\x72"}};
  for (const auto& [code_page, bytes] : cases) {
    std::string all = bytes;
    const Text whole = DecodeWhole(all, true, code_page);
    EXPECT_EQ(whole.find(u'\uFFFD'), Text::npos);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      std::string rest = bytes.substr(0, cut);
      Text decoded = DecodeWhole(rest, false, code_page);
      rest += bytes.substr(cut);
      EXPECT_EQ(decoded + DecodeWhole(rest, true, code_page), whole) << cut;
    }
  }
}

TEST(ClearTargetTest, AFloodOfMessagesEndsAtTheDeadline) {
  MSG message;  // the thread's queue made, then filled
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  for (int i = 0; i < 20000; ++i)
    PostThreadMessageW(GetCurrentThreadId(), 0, 0, 0);
  const double start = MonotonicSeconds();
  DispatchEventsUntil(start + 0.05);
  EXPECT_LT(MonotonicSeconds() - start, 0.4);
}

TEST(RunLogTest, OnlyTheSystemsAccountsMayOwnIt) {
  for (const Text sid : {u"S-1-5-18", u"S-1-5-32-544"}) {
    EXPECT_TRUE(IsTrustedOwner(sid));
  }
  // Users, Everyone, another account, no account at all.
  for (const Text sid :
       {u"S-1-5-32-545", u"S-1-1-0", u"S-1-5-21-1-2-3-1", u""}) {
    EXPECT_FALSE(IsTrustedOwner(sid));
  }
}
#endif

}  // namespace
}  // namespace pvr
