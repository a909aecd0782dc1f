#include "core_foundation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "run_loop.h"

namespace {

TEST(CFStringTest, AcceptsOnlyWellFormedUtf8) {
  for (const char* good : {"", "plain", "Фото", "\xF0\x9F\x93\xB7 camera", "\x7F\x01"}) {
    CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, good, kCFStringEncodingUTF8);
    ASSERT_NE(value, nullptr) << good;
    EXPECT_EQ(CFGetTypeID(value), CFStringGetTypeID());
    CFRelease(value);
  }
  for (const char* bad : {"\xff", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE2\x82",
                          "\x80 stray", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, bad, kCFStringEncodingUTF8), nullptr)
        << ::testing::PrintToString(std::string(bad));
  }
  EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, nullptr, kCFStringEncodingUTF8),
            nullptr);
  EXPECT_EQ(CFStringCreateWithCString(kCFAllocatorDefault, "x", 0), nullptr);
}

TEST(CFStringTest, GetCStringNeedsRoomForTheNul) {
  CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, "Жук", kCFStringEncodingUTF8);
  char buffer[8];
  EXPECT_FALSE(CFStringGetCString(value, buffer, 6, kCFStringEncodingUTF8));  // 6 bytes + NUL
  ASSERT_TRUE(CFStringGetCString(value, buffer, 7, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "Жук");
  EXPECT_FALSE(CFStringGetCString(value, buffer, 0, kCFStringEncodingUTF8));
  EXPECT_FALSE(CFStringGetCString(nullptr, buffer, 8, kCFStringEncodingUTF8));
  CFRelease(value);

  CFTypeRef opaque = mobiledevice::CreateOpaqueValue();
  EXPECT_NE(CFGetTypeID(opaque), CFStringGetTypeID());
  EXPECT_FALSE(CFStringGetCString(opaque, buffer, 8, kCFStringEncodingUTF8));
  CFRelease(opaque);
}

TEST(CFStringTest, ValuesLiveUntilTheirLastRelease) {
  CFStringRef value = CFStringCreateWithCString(kCFAllocatorDefault, "kept", kCFStringEncodingUTF8);
  EXPECT_EQ(CFRetain(value), value);
  CFRelease(value);
  char buffer[8];
  ASSERT_TRUE(CFStringGetCString(value, buffer, sizeof buffer, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "kept");
  CFRelease(value);  // the sanitizer tree reports a leak or a double free here
  CFRelease(nullptr);
  // The run-loop mode is never freed.
  CFRelease(kCFRunLoopDefaultMode);
  EXPECT_EQ(CFGetTypeID(kCFRunLoopDefaultMode), CFStringGetTypeID());
}

TEST(CFRunLoopTest, AbsoluteTimeCountsFrom2001) {
  const double unix_now = static_cast<double>(std::time(nullptr));
  EXPECT_NEAR(CFAbsoluteTimeGetCurrent(), unix_now - 978307200.0, 2.0);
}

TEST(CFRunLoopTest, RunsPostedWorkAndStopsOnRequest) {
  CFRunLoopRef loop = CFRunLoopGetCurrent();
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false), kCFRunLoopRunTimedOut);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, -1, false), kCFRunLoopRunTimedOut);

  int ran = 0;
  std::thread other([loop, &ran] { loop->post([&ran] { ++ran; }); });
  other.join();
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true), kCFRunLoopRunHandledSource);
  EXPECT_EQ(ran, 1);

  loop->post([loop] { CFRunLoopStop(loop); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 30, false), kCFRunLoopRunStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
