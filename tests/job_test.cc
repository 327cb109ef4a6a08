#include <gtest/gtest.h>

#include "actions/clear_target.h"
#include "actions/run_log.h"
#include "failure_kind_of.h"
#include "job/job_file.h"
#include "run/run_sequence.h"

namespace pvr {
namespace {

const std::vector<Text> kExampleJob = {
    u"<pvr-data>",
    u"  <pvr-work-dir> D:\\Recordings\\ </pvr-work-dir>",
    u"  <pvr-show-file-name>Evening News</pvr-show-file-name>",
    u"  <PVR-SHOW-FILE-EXT>.ts</PVR-SHOW-FILE-EXT>",
    u"  <pvr-show-cmd>",
    u"    <code>rec.exe --out \\\"D:\\Recordings\\Evening News.ts\\\"",
    u"      --length 90</code>",
    u"  </pvr-show-cmd>",
    u"</pvr-data>",
};

TEST(JobFileTest, WorkedExample) {
  const Text data = JobDataOf(kExampleJob);
  EXPECT_EQ(TargetPathOf(data), u"D:\\Recordings\\Evening News.ts");
  EXPECT_EQ(LaunchCommandOf(data),
            u"rec.exe --out \"D:\\Recordings\\Evening News.ts\"--length 90");
}

Text Job(const Text& data) {
  return JobDataOf({u"<pvr-data>" + data + u"</pvr-data>"});
}

TEST(JobFileTest, DerivesTargetsAndCommands) {
  const struct {
    Text data, target, command;
  } cases[] = {
      // Any order, any tag case, values in their own case, first wins.
      {u"<pvr-show-cmd><code>r</code></pvr-show-cmd><PVR-Show-File-Ext>.TS"
       u"</pvr-show-file-EXT><pvr-show-file-name>N</pvr-show-file-name>"
       u"<pvr-work-dir>/v/</pvr-work-dir><pvr-work-dir>/w/</pvr-work-dir>",
       u"/v/N.TS", u"r"},
      // Empty piece; entities stay raw; spaces after <code> kept.
      {u"<pvr-work-dir>/v/</pvr-work-dir><pvr-show-file-name>A&amp;B"
       u"</pvr-show-file-name><pvr-show-file-ext></pvr-show-file-ext>"
       u"<pvr-show-cmd>  <code>  r &amp; s </code>  </pvr-show-cmd>",
       u"/v/A&amp;B", u"  r &amp; s "},
      // A quoted path ending in a backslash loses it to the pair.
      {u"<pvr-work-dir>a</pvr-work-dir><pvr-show-file-name>b"
       u"</pvr-show-file-name><pvr-show-file-ext>c</pvr-show-file-ext>"
       u"<pvr-show-cmd><code>r \"C:\\d\\\" \\x</code></pvr-show-cmd>",
       u"abc", u"r \"C:\\d\" \\x"},
      // Tabs stay; line feeds alone stay in the values.
      {u"<pvr-work-dir>\t/v/\n</pvr-work-dir><pvr-show-file-name>n"
       u"</pvr-show-file-name><pvr-show-file-ext>.ts</pvr-show-file-ext>"
       u"<pvr-show-cmd><code>r\nx</code></pvr-show-cmd>",
       u"\t/v/\n"
       u"n.ts",
       u"r\nx"},
  };
  for (const auto& c : cases) {
    const Text data = Job(c.data);
    EXPECT_EQ(TargetPathOf(data), c.target);
    EXPECT_EQ(LaunchCommandOf(data), c.command);
  }
}

TEST(JobFileTest, LinesAreTrimmedAndJoinedWithNothing) {
  const Text data = JobDataOf({u"<pvr-data><pvr-show-cmd><code>rec", u"   --x",
                               u"</code></pvr-show-cmd></pvr-data>"});
  EXPECT_EQ(LaunchCommandOf(data), u"rec--x");
}

TEST(JobFileTest, MissingOrMisplacedTagsFail) {
  const struct {
    std::vector<Text> lines;
    FailureKind kind;
  } cases[] = {
      {{}, FailureKind::kInvalidArgument},
      {{u"<pvr-data>"}, FailureKind::kInvalidArgument},
      {{u"</pvr-data><pvr-data>"}, FailureKind::kInvalidArgument},
      {{u"<pvr-dat>x</pvr-data>"}, FailureKind::kInvalidArgument},
      {{u"<pvr-data >x</pvr-data>"}, FailureKind::kInvalidArgument},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureKindOf([&] { JobDataOf(c.lines); }), c.kind);
  }
  const Text no_close =
      Job(u"<pvr-work-dir>a</pvr-work-dir><pvr-show-file-name>b");
  EXPECT_EQ(FailureKindOf([&] { TargetPathOf(no_close); }),
            FailureKind::kInvalidArgument);
  const Text upper_code = Job(u"<pvr-show-cmd><CODE>r</CODE></pvr-show-cmd>");
  EXPECT_EQ(FailureKindOf([&] { LaunchCommandOf(upper_code); }),
            FailureKind::kInvalidArgument);
}

TEST(JobFileTest, PositionsAndLengthsStopAt32767) {
  const auto data_at = [](std::size_t position) {
    return std::vector<Text>{Text(position - 1, u'x') +
                             u"<pvr-data>v</pvr-data>"};
  };
  EXPECT_EQ(JobDataOf(data_at(32757)), u"v");
  EXPECT_EQ(FailureKindOf([&] { JobDataOf(data_at(32758)); }),
            FailureKind::kOverflow);
  const auto value_of = [](std::size_t length) {
    return TagValue(u"<a>" + Text(length, u'v') + u"</a>", u"<a>", u"</a>",
                    CaseRule::kExactCase);
  };
  EXPECT_EQ(value_of(32767).size(), 32767u);
  EXPECT_EQ(FailureKindOf([&] { value_of(32768); }), FailureKind::kOverflow);
}

TEST(RunSequenceTest, JobPathStripsOneEnclosingPairOfQuotes) {
  const struct {
    Text argument, path;
  } cases[] = {
      {u"   ", u""},
      {u"\"\"", u""},
      {u"\"  C:\\Jobs\\Show.xml  \"", u"C:\\Jobs\\Show.xml"},
      {u" C:\\Jobs\\My Show.xml ", u"C:\\Jobs\\My Show.xml"},
      {u"\"C:\\Jobs\\Show.xml", u"\"C:\\Jobs\\Show.xml"},
      {u"\"a.xml\" tail", u"\"a.xml\" tail"},
      {u"\"\"a.xml\"\"", u"\"a.xml\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JobPathOf(c.argument), c.path);
  EXPECT_EQ(FailureKindOf([] { JobPathOf(u" \" "); }),
            FailureKind::kInvalidArgument);
}

TEST(ClearTargetTest, DeadlineRoundsHalfToEven) {
  const struct {
    double now;
    std::int32_t deadline;
  } cases[] = {
      {0.0, 2}, {0.49, 2}, {0.5, 2},         {0.51, 3},
      {1.5, 4}, {7.25, 9}, {86399.7, 86402},
  };
  for (const auto& c : cases) EXPECT_EQ(PauseDeadline(c.now), c.deadline);
}

TEST(RunLogTest, RecordHasFourLinesWithAlignedLabels) {
  const std::vector<Text> expected = {
      u"",
      u"--- launcher.exe at 21:30:05 ---",
      u"  Video File: D:\\Recordings\\Evening News.ts",
      u"     Command: rec.exe \"a\"",
  };
  EXPECT_EQ(
      RunRecordLines(u"launcher", ClockTime{21, 30, 5},
                     u"D:\\Recordings\\Evening News.ts", u"rec.exe \"a\""),
      expected);
  EXPECT_EQ(RunRecordLines(u"p", ClockTime{0, 0, 0}, u"", u"")[1],
            u"--- p.exe at 00:00:00 ---");
}

}  // namespace
}  // namespace pvr
