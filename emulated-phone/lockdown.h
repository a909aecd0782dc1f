// The phone's lockdown service (port 62078): device values, pairing,
// sessions and service start. One Lockdown per connection; it answers one
// request at a time and tells the connection when TLS starts or stops.
#pragma once

#include <string>

#include "device.h"
#include "plist_util.h"

namespace emulated_phone {

class Lockdown {
 public:
  struct Reply {
    enum class Then { kContinue, kStartTls, kStopTls, kClose };
    PlistPtr answer;
    Then then = Then::kContinue;
  };

  explicit Lockdown(Device& device) : device_(device) {}
  Reply handle(plist_t request);
  bool sessionActive() const { return !session_id_.empty(); }

 private:
  Reply getValue(plist_t request, const std::string& verb);
  Reply validatePair(plist_t request, const std::string& verb);
  Reply pair(plist_t request, const std::string& verb);
  Reply startSession(plist_t request, const std::string& verb);
  Reply stopSession(plist_t request, const std::string& verb);
  Reply startService(plist_t request, const std::string& verb);
  PlistPtr allValues() const;

  Device& device_;
  std::string session_id_;
};

}  // namespace emulated_phone
