// The pause's deadline and clock, a target deleted by another run first,
// and the output file's name.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "actions/clear_target.h"
#include "actions/recording_output.h"
#include "platform/platform.h"

namespace pvr {
namespace {

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

TEST(RecordingOutputTest, OneFileATargetNamedAfterItsShow) {
  EXPECT_EQ(RecordingOutputName(u"/r/Evening News.ts"),
            u"~QZ-PVR-Evening News.ts-f759e9d9.txt");
  EXPECT_NE(RecordingOutputName(u"/a/N.ts"), RecordingOutputName(u"/b/N.ts"));
  EXPECT_EQ(RecordingOutputName(u"/" + Text(300, u'x')).size(), 141u);
}

}  // namespace
}  // namespace pvr
