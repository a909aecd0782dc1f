// The few CoreFoundation pieces the importer uses: reference-counted values
// (strings, and an opaque kind for anything else a device may answer with),
// absolute time, and the current thread's run loop.
//
// Values are created with a reference count of 1; CFRelease drops one
// reference and frees the value with the last one.
#pragma once

#include <cstdint>

namespace runloop {
class RunLoop;
}

namespace mobiledevice {
class CFValue;
}

using CFTypeRef = const mobiledevice::CFValue*;
using CFStringRef = const mobiledevice::CFValue*;
using CFTypeID = unsigned long;
using CFIndex = long;
using Boolean = unsigned char;
using CFStringEncoding = uint32_t;
using CFAllocatorRef = const void*;
using CFAbsoluteTime = double;
using CFTimeInterval = double;
using CFRunLoopRef = runloop::RunLoop*;
using CFRunLoopMode = CFStringRef;

inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

// Results of CFRunLoopRunInMode.
enum : int32_t {
  kCFRunLoopRunFinished = 1,
  kCFRunLoopRunStopped = 2,
  kCFRunLoopRunTimedOut = 3,
  kCFRunLoopRunHandledSource = 4,
};

extern const CFRunLoopMode kCFRunLoopDefaultMode;

// Values.
CFTypeID CFStringGetTypeID();
CFTypeID CFGetTypeID(CFTypeRef value);
CFTypeRef CFRetain(CFTypeRef value);
void CFRelease(CFTypeRef value);

// A new string from NUL-terminated text; none when the text is not
// well-formed in the given encoding (only UTF-8 is supported).
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator,
                                      const char* text,
                                      CFStringEncoding encoding);

// Copies the string as NUL-terminated text into buffer; false (and nothing
// usable in buffer) when it does not fit in buffer_size bytes with its NUL,
// or when the value is not a string.
Boolean CFStringGetCString(CFStringRef string, char* buffer,
                           CFIndex buffer_size, CFStringEncoding encoding);

// Seconds since 2001-01-01 00:00:00 UTC.
CFAbsoluteTime CFAbsoluteTimeGetCurrent();

CFRunLoopRef CFRunLoopGetCurrent();
int32_t CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                           Boolean return_after_source_handled);
void CFRunLoopStop(CFRunLoopRef loop);

namespace mobiledevice {

// A value of a kind other than a string (a number, a dictionary ...), for
// device answers the importer does not read; its type id differs from the
// string's.
CFTypeRef CreateOpaqueValue();

// True when the text is well-formed UTF-8.
bool IsWellFormedUtf8(const char* text);

}  // namespace mobiledevice
