// The text rules in full, the command-line splitter, line ends joined
// across pieces, and the failure kinds' statuses.
#include <gtest/gtest.h>

#include <utility>

#include "text/command_line.h"
#include "text/failure.h"
#include "text/lines.h"

namespace pvr {
namespace {

TEST(TextTest, LowersAndReplacesCharacterForCharacter) {
  // Each range at both ends and past them; capitals whose small form is ASCII
  // stay, so foreign letters cannot pass for a tag.
  EXPECT_EQ(LowerCase(u"<PVR-DATAZ>\u00C0\u00DE\u00D7\u0100\u0136\u0139\u013B"
                      u"\u0147\u014A\u0176\u0391\u03AB\u03A2\u0400\u040F"
                      u"\u0410\u042F\u0130\u212A\u0149\u0178\u0430\u03AC"),
            u"<pvr-dataz>\u00E0\u00FE\u00D7\u0101\u0137\u013A\u013C\u0148"
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
  const std::pair<Text, Words> cases[] = {{u" \t ", Words{}},
                                          {u"a\"b c\"d", Words{u"ab cd"}},
                                          {u"\"\" x", Words{u"", u"x"}},
                                          {u"a\\\\b", Words{u"a\\\\b"}},
                                          {u"a\\\" b", Words{u"a\"", u"b"}},
                                          {u"a\\\\\"b c\"", Words{u"a\\b c"}},
                                          {u"a\\\\\\\"b", Words{u"a\\\"b"}},
                                          {u"\"a b", Words{u"a b"}},
                                          {u"x\t\ty", Words{u"x", u"y"}}};
  for (const auto& [line, words] : cases)
    EXPECT_EQ(SplitCommandLine(line), words)
        << std::string(line.begin(), line.end());
  // cmd.exe's: % anywhere, & and ^ outside quotes.
  EXPECT_EQ(ActedOnAt(u"%\"&%\"&^x", u"%", u"&^"),
            (std::vector<std::size_t>{1, 4, 6, 7}));
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

// The statuses schedulers act on, one for each kind of failure, in order.
TEST(FailureTest, EachKindHasItsExitStatus) {
  for (int i = 0; i <= static_cast<int>(FailureKind::kOutOfMemory); ++i)
    EXPECT_EQ(ExitStatusOf(static_cast<FailureKind>(i)), i + 2);
}

}  // namespace
}  // namespace pvr
