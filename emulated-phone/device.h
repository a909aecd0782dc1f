// The emulated phone as all connections share it: who it is, whom it is
// paired with, whether it is still attached, and which service listens on
// which port.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "credentials.h"
#include "options.h"

namespace emulated_phone {

class Device {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint32_t kDeviceId = 1;
  static constexpr uint16_t kLockdownPort = 62078;

  Device(const Options& options, Credentials credentials, Clock::time_point started);

  const Options& options() const { return options_; }
  const Faults& faults() const { return options_.faults; }
  const Credentials& credentials() const { return credentials_; }

  // Attached until the --detach-after time has passed.
  bool attached(Clock::time_point now) const;
  std::optional<Clock::time_point> detachTime() const { return detach_time_; }

  // What usbmuxd keeps for the computer (the pair record it reads and saves).
  std::optional<std::string> pairRecord() const;
  void savePairRecord(std::string record);
  void deletePairRecord();

  // What the phone itself remembers of the computer it trusts.
  std::optional<std::string> trustedHostId() const;
  void trustHost(std::string host_id);
  void forgetHost();

  // Services started through lockdown, by the port they were given.
  uint16_t registerService(const std::string& name);
  std::optional<std::string> serviceAt(uint16_t port) const;

 private:
  const Options options_;
  const Credentials credentials_;
  std::optional<Clock::time_point> detach_time_;
  mutable std::mutex mutex_;
  std::optional<std::string> pair_record_;
  std::optional<std::string> trusted_host_id_;
  std::map<uint16_t, std::string> services_;
  uint16_t next_port_ = 49152;
};

}  // namespace emulated_phone
