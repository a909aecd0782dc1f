#include "wall_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace imagecapture {
namespace {

using namespace std::chrono;

// The computer's zone for one test.
class InZone {
 public:
  explicit InZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~InZone() {
    if (old_) ::setenv("TZ", old_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

std::optional<Date> read(const char* text) { return instantOf(*ptp::parseDate(text)); }
Date utc(int y, int mo, int d, int h, int mi) {
  return sys_days{year{y} / mo / d} + hours{h} + minutes{mi};
}

TEST(WallClock, PhoneTimesAreReadInTheComputersZone) {
  InZone zone("America/New_York");
  EXPECT_EQ(read("20211005T143000"), utc(2021, 10, 5, 18, 30));
  EXPECT_EQ(read("20211220T090000.0"), utc(2021, 12, 20, 14, 0));
  EXPECT_EQ(read("20211005T143000Z"), utc(2021, 10, 5, 14, 30));      // a zone it states wins
  EXPECT_EQ(read("20211005T143000+0200"), utc(2021, 10, 5, 12, 30));
  // The hour that comes twice is always its first pass, whatever was read
  // just before (mktime would follow its last guess).
  for (const char* before : {"20211107T003000", "20211107T023000", "20211107T013000"}) {
    read(before);
    EXPECT_EQ(read("20211107T013000"), utc(2021, 11, 7, 5, 30)) << before;
  }
  // The hour the clocks skip is read with the offset before the change.
  EXPECT_EQ(read("20210314T023000"), utc(2021, 3, 14, 7, 30));
}

}  // namespace
}  // namespace imagecapture
