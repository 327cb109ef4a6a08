// Windows: characters cut between pieces, a flood of messages in the
// pause, the run log's owners.
#include <gtest/gtest.h>

#include <utility>

#include "platform/internal-win32.h"

namespace pvr {
namespace {

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

}  // namespace
}  // namespace pvr
