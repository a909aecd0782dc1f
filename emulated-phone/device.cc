#include "device.h"

#include "plist_util.h"

namespace emulated_phone {

Device::Device(const Options& options, Credentials credentials, Clock::time_point started)
    : options_(options), credentials_(std::move(credentials)) {
  if (options_.faults.detach_after_seconds) {
    detach_time_ = started + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(*options_.faults.detach_after_seconds));
  }
  if (!credentials_.pair_record.empty()) {
    pair_record_ = credentials_.pair_record;
    PlistPtr record = parsePlist(credentials_.pair_record);
    trusted_host_id_ = stringItem(record.get(), "HostID");
  }
}

bool Device::attached(Clock::time_point now) const {
  return !detach_time_ || now < *detach_time_;
}

std::optional<std::string> Device::pairRecord() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pair_record_;
}

void Device::savePairRecord(std::string record) {
  std::lock_guard<std::mutex> lock(mutex_);
  pair_record_ = std::move(record);
}

void Device::deletePairRecord() {
  std::lock_guard<std::mutex> lock(mutex_);
  pair_record_.reset();
}

std::optional<std::string> Device::trustedHostId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return trusted_host_id_;
}

void Device::trustHost(std::string host_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  trusted_host_id_ = std::move(host_id);
}

void Device::forgetHost() {
  std::lock_guard<std::mutex> lock(mutex_);
  trusted_host_id_.reset();
}

uint16_t Device::registerService(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint16_t port = next_port_;
  // Ports 49152..65535, reused round robin; a long-lived emulator never runs out.
  next_port_ = next_port_ == 65535 ? 49152 : static_cast<uint16_t>(next_port_ + 1);
  services_[port] = name;
  return port;
}

std::optional<std::string> Device::serviceAt(uint16_t port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = services_.find(port);
  if (it == services_.end()) return std::nullopt;
  return it->second;
}

}  // namespace emulated_phone
