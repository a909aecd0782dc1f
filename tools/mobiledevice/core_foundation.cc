#include "core_foundation.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "run_loop.h"

namespace mobiledevice {

namespace {
constexpr CFTypeID kStringTypeID = 7;
constexpr CFTypeID kOpaqueTypeID = 22;
}  // namespace

class CFValue {
 public:
  CFValue(CFTypeID type, std::string text, bool immortal = false)
      : type_(type), text_(std::move(text)), immortal_(immortal) {}

  CFTypeID type() const { return type_; }
  const std::string& text() const { return text_; }

  void retain() const {
    if (!immortal_) refs_.fetch_add(1, std::memory_order_relaxed);
  }
  // True when this was the last reference.
  bool release() const {
    if (immortal_) return false;
    return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

 private:
  CFTypeID type_;
  std::string text_;
  bool immortal_;
  mutable std::atomic<long> refs_{1};
};

bool IsWellFormedUtf8(const char* text) {
  if (text == nullptr) return false;
  // ICU rejects ill-formed sequences (stray continuation bytes, overlong
  // forms, surrogates, code points past U+10FFFF) with U_INVALID_CHAR_FOUND.
  UErrorCode error = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text, -1, &error);
  return error == U_BUFFER_OVERFLOW_ERROR || error == U_STRING_NOT_TERMINATED_WARNING ||
         U_SUCCESS(error);
}

CFTypeRef CreateOpaqueValue() { return new CFValue(kOpaqueTypeID, std::string()); }

}  // namespace mobiledevice

using mobiledevice::CFValue;

namespace {
const CFValue default_mode(mobiledevice::kStringTypeID, "kCFRunLoopDefaultMode",
                           /*immortal=*/true);
}  // namespace

const CFRunLoopMode kCFRunLoopDefaultMode = &default_mode;

CFTypeID CFStringGetTypeID() { return mobiledevice::kStringTypeID; }

CFTypeID CFGetTypeID(CFTypeRef value) { return value ? value->type() : 0; }

CFTypeRef CFRetain(CFTypeRef value) {
  if (value) value->retain();
  return value;
}

void CFRelease(CFTypeRef value) {
  if (value && value->release()) delete value;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef /*allocator*/,
                                      const char* text,
                                      CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8) return nullptr;
  if (!mobiledevice::IsWellFormedUtf8(text)) return nullptr;
  return new CFValue(mobiledevice::kStringTypeID, text);
}

Boolean CFStringGetCString(CFStringRef string, char* buffer,
                           CFIndex buffer_size, CFStringEncoding encoding) {
  if (string == nullptr || buffer == nullptr || buffer_size <= 0) return false;
  if (encoding != kCFStringEncodingUTF8) return false;
  if (string->type() != mobiledevice::kStringTypeID) return false;
  const std::string& text = string->text();
  if (text.size() >= static_cast<size_t>(buffer_size)) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  // 978307200 seconds lie between the Unix epoch and 2001-01-01.
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since_epoch).count() - 978307200.0;
}

CFRunLoopRef CFRunLoopGetCurrent() { return &runloop::RunLoop::current(); }

int32_t CFRunLoopRunInMode(CFRunLoopMode /*mode*/, CFTimeInterval seconds,
                           Boolean return_after_source_handled) {
  if (!(seconds > 0)) seconds = 0;
  if (seconds > 1e9) seconds = 1e9;
  const auto deadline =
      runloop::Clock::now() +
      std::chrono::duration_cast<runloop::Clock::duration>(
          std::chrono::duration<double>(seconds));
  switch (runloop::RunLoop::current().runUntil(deadline,
                                                return_after_source_handled != 0)) {
    case runloop::RunLoop::Result::kHandledSource:
      return kCFRunLoopRunHandledSource;
    case runloop::RunLoop::Result::kStopped:
      return kCFRunLoopRunStopped;
    case runloop::RunLoop::Result::kTimedOut:
      break;
  }
  return kCFRunLoopRunTimedOut;
}

void CFRunLoopStop(CFRunLoopRef loop) {
  if (loop) loop->stop();
}
