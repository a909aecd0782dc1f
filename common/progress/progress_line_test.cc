#include "progress_line.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using namespace std::chrono_literals;
using progress::Clock;

struct FakeTerminal : progress::Terminal {
  size_t columns() override { return width; }
  bool inForeground() override { return foreground; }
  void write(std::string_view bytes) override { written += bytes; }
  size_t width = 80;
  bool foreground = true;
  std::string written;
};

// Each step, and the bytes it puts on the terminal.
TEST(ProgressLineTest, DrawsThrottledClearsAroundLinesAndAtTheEnd) {
  auto owned = std::make_unique<FakeTerminal>();
  FakeTerminal& terminal = *owned;
  progress::ProgressLine line(std::move(owned));
  const Clock::time_point t0;
  struct Step {
    std::function<void()> act;
    std::string written;
  };
  const Step steps[] = {
      {[&] { line.restore(); line.clear(); }, ""},  // nothing drawn yet
      {[&] { line.status().files_done = 1, line.status().label = "/DCIM/1"; line.update(t0); },
       "\r1 file, /DCIM/1"},
      {[&] { line.status().files_done = 2; line.update(t0 + 249ms); }, ""},
      {[&] { line.update(t0 + 250ms); }, "\r2 files, /DCIM/1"},
      {[&] { line.clear(); }, "\r                \r"},
      {[&] { line.clear(); }, ""},
      {[&] { line.restore(); }, "\r2 files, /DCIM/1"},
      // A shorter line blanks what is left of the longer one.
      {[&] { line.status().label = "/D"; line.update(t0 + 500ms); }, "\r2 files, /D     "},
      // The last column stays free.
      {[&] { terminal.width = 8; line.update(t0 + 750ms); }, "\r2 files         "},
      {[&] { terminal.foreground = false; line.update(t0 + 2s); }, ""},
      {[&] { line.finish(); }, "\r                \r"},
      {[&] { line.update(t0 + 3s); line.restore(); line.clear(); }, ""},
  };
  for (const Step& step : steps) {
    terminal.written.clear();
    step.act();
    EXPECT_EQ(terminal.written, step.written) << &step - steps;
  }
  EXPECT_FALSE(line.active());
}

TEST(RateMeterTest, BytesPerSecondOverTheLastSeconds) {
  progress::RateMeter meter;
  const Clock::time_point t0;
  meter.add(t0, 0);
  meter.add(t0 + 500ms, 500);
  EXPECT_EQ(meter.bytesPerSecond(), std::nullopt);  // under a second
  meter.add(t0 + 2s, 4000);
  EXPECT_EQ(meter.bytesPerSecond(), 2000.0);
  // A stall: the old samples leave the window, the rate falls.
  meter.add(t0 + 8s, 4000);
  EXPECT_EQ(meter.bytesPerSecond(), 0.0);
}

}  // namespace
