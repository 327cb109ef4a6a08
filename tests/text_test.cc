#include <gtest/gtest.h>

#include "failure_kind_of.h"
#include "text/command_line.h"
#include "text/lines.h"
#include "text/text.h"

namespace pvr {
namespace {

TEST(TextTest, TrimSpacesTouchesOnlyOuterSpaces) {
  const struct {
    Text in, out;
  } cases[] = {
      {u"", u""},
      {u"    ", u""},
      {u"  a b  ", u"a b"},
      {u"a\t", u"a\t"},
      {u"\t a \t", u"\t a \t"},
      {u"\u00A0a\u00A0", u"\u00A0a\u00A0"},
      {u" a\r\n ", u"a\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimSpaces(c.in), c.out);
}

TEST(TextTest, LowerCaseKeepsLengthAndPositions) {
  const struct {
    Text in, out;
  } cases[] = {
      {u"<PVR-DATA>", u"<pvr-data>"},
      {u"<Pvr-Show-CMD>", u"<pvr-show-cmd>"},
      {u"\u00C0\u00D7\u00DE\u0100\u0139\u0391\u0410\u0401",
       u"\u00E0\u00D7\u00FE\u0101\u013A\u03B1\u0430\u0451"},
      // Capitals whose small form is ASCII would let foreign letters pass
      // for a tag; they stay as they are.
      {u"\u0130\u212A", u"\u0130\u212A"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LowerCase(c.in), c.out);
    EXPECT_EQ(LowerCase(c.in).size(), c.in.size());
  }
}

TEST(TextTest, FindTextIsExactAndFromTheLeft) {
  const struct {
    Text text, pattern;
    std::int32_t position;
  } cases[] = {
      {u"abcabc", u"abc", 1},
      {u"xabcabc", u"bc", 3},
      {u"<CODE>x", u"<code>", 0},
      {u"ab", u"abc", 0},
      {u"", u"a", 0},
      {u"a.XML.xml", u".xml", 6},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindText(c.text, c.pattern), c.position)
        << std::string(c.text.begin(), c.text.end());
  }
}

TEST(TextTest, SlicesAtTheirBoundaries) {
  EXPECT_EQ(TextFrom(u"abc", 1), u"abc");
  EXPECT_EQ(TextFrom(u"abc", 3), u"c");
  EXPECT_EQ(TextFrom(u"abc", 4), u"");
  EXPECT_EQ(TextFrom(u"", 1), u"");
  EXPECT_EQ(LeftText(u"abc", 0), u"");
  EXPECT_EQ(LeftText(u"abc", 2), u"ab");
  EXPECT_EQ(LeftText(u"abc", 9), u"abc");
  EXPECT_EQ(RightText(u"abc", 1), u"c");
  EXPECT_EQ(RightText(u"", 1), u"");
}

TEST(TextTest, NegativeCountsAndStartsAreInvalidArguments) {
  EXPECT_EQ(FailureKindOf([] { LeftText(u"", -1); }),
            FailureKind::kInvalidArgument);
  EXPECT_EQ(FailureKindOf([] { LeftText(u"abc", -1); }),
            FailureKind::kInvalidArgument);
  EXPECT_EQ(FailureKindOf([] { TextFrom(u"abc", 0); }),
            FailureKind::kInvalidArgument);
  EXPECT_EQ(FailureKindOf([] { RightText(u"abc", -1); }),
            FailureKind::kInvalidArgument);
}

TEST(TextTest, ReplaceTextScansOnceFromTheLeft) {
  const struct {
    Text text, find, replacement, out;
  } cases[] = {
      {u"\\\\\"", u"\\\"", u"\"", u"\\\""},
      {u"a\\\"b\\\"", u"\\\"", u"\"", u"a\"b\""},
      {u"aaa", u"aa", u"b", u"ba"},
      {u"ab", u"a", u"aa", u"aab"},
      {u"", u"a", u"b", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReplaceText(c.text, c.find, c.replacement), c.out);
  }
}

TEST(LinesTest, EndAtTheirPlatformsTerminators) {
  using Lines = std::vector<Text>;
  const struct {
    Text text;
    Lines carriage_return, any;
  } cases[] = {
      {u"", Lines{}, Lines{}},
      {u"a\rb\r\nc\nd", Lines{u"a", u"b", u"c\nd"},
       Lines{u"a", u"b", u"c", u"d"}},
      {u"a\r", Lines{u"a"}, Lines{u"a"}},
      {u"a\r\r\n", Lines{u"a", u""}, Lines{u"a", u""}},
      {u"\n\r", Lines{u"\n"}, Lines{u"", u""}},
      {u"a\n\rb", Lines{u"a\n", u"b"}, Lines{u"a", u"", u"b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitTextLines(c.text, LineEnds::kCarriageReturn),
              c.carriage_return);
    EXPECT_EQ(SplitTextLines(c.text, LineEnds::kAny), c.any);
  }
}

TEST(CommandLineTest, SplitsByTheWindowsRules) {
  using Words = std::vector<Text>;
  const struct {
    Text line;
    Words words;
  } cases[] = {
      {u"", Words{}},
      {u" \t ", Words{}},
      {u"rec --out x", Words{u"rec", u"--out", u"x"}},
      {u"\"C:\\Program Files\\rec.exe\" -a",
       Words{u"C:\\Program Files\\rec.exe", u"-a"}},
      {u"a\"b c\"d", Words{u"ab cd"}},
      {u"\"\" x", Words{u"", u"x"}},
      {u"a\\\\b", Words{u"a\\\\b"}},
      {u"a\\\"b", Words{u"a\"b"}},
      {u"a\\\\\"b c\"", Words{u"a\\b c"}},
      {u"a\\\\\\\"b", Words{u"a\\\"b"}},
      {u"\"a b", Words{u"a b"}},
      {u"x\t\ty", Words{u"x", u"y"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.words)
        << std::string(c.line.begin(), c.line.end());
  }
}

}  // namespace
}  // namespace pvr
