#include "lockdown.h"

#include "credentials.h"
#include "usbmux_handler.h"

namespace emulated_phone {

namespace {

PlistPtr answerFor(const std::string& verb) {
  PlistPtr a = newDict();
  setString(a.get(), "Request", verb);
  return a;
}

Lockdown::Reply ok(PlistPtr answer, Lockdown::Reply::Then then = Lockdown::Reply::Then::kContinue) {
  return Lockdown::Reply{std::move(answer), then};
}

Lockdown::Reply error(const std::string& verb, const std::string& name) {
  PlistPtr a = answerFor(verb);
  setString(a.get(), "Error", name);
  return ok(std::move(a));
}

std::optional<std::string> requestHostId(plist_t request) {
  plist_t record = plist_dict_get_item(request, "PairRecord");
  if (record && plist_get_node_type(record) == PLIST_DICT) return stringItem(record, "HostID");
  return std::nullopt;
}

}  // namespace

PlistPtr Lockdown::allValues() const {
  const Options& o = device_.options();
  PlistPtr v = newDict();
  setString(v.get(), "ActivationState", "Activated");
  setString(v.get(), "BuildVersion", "21F90");
  setString(v.get(), "CPUArchitecture", "arm64e");
  setString(v.get(), "DeviceClass", "iPhone");
  setString(v.get(), "DeviceColor", "1");
  setString(v.get(), "DeviceName", o.name);
  setData(v.get(), "DevicePublicKey", device_.credentials().device_public_key_pem);
  setString(v.get(), "HardwareModel", "D73AP");
  setBool(v.get(), "PasswordProtected", false);
  setString(v.get(), "ProductName", "iPhone OS");
  setString(v.get(), "ProductType", "iPhone15,2");
  setString(v.get(), "ProductVersion", o.product_version);
  setString(v.get(), "SerialNumber", "F2LEMU000000");
  setString(v.get(), "TimeZone", "Etc/UTC");
  setString(v.get(), "UniqueDeviceID", o.udid);
  setString(v.get(), "WiFiAddress", "02:00:00:0e:41:50");
  return v;
}

Lockdown::Reply Lockdown::handle(plist_t request) {
  std::string verb = stringItem(request, "Request").value_or("");
  if (verb == "QueryType") {
    PlistPtr a = answerFor(verb);
    setString(a.get(), "Type", "com.apple.mobile.lockdown");
    return ok(std::move(a));
  }
  if (verb == "GetValue") return getValue(request, verb);
  if (verb == "ValidatePair") return validatePair(request, verb);
  if (verb == "Pair") return pair(request, verb);
  if (verb == "Unpair") {
    device_.forgetHost();
    return ok(answerFor(verb));
  }
  if (verb == "StartSession") return startSession(request, verb);
  if (verb == "StopSession") return stopSession(request, verb);
  if (verb == "StartService") return startService(request, verb);
  if (verb == "Goodbye") {
    PlistPtr a = answerFor(verb);
    setString(a.get(), "Result", "Success");
    return ok(std::move(a), Reply::Then::kClose);
  }
  if (verb == "SetValue" || verb == "RemoveValue")
    return error(verb, verb == "SetValue" ? "SetProhibited" : "RemoveProhibited");
  return error(verb.empty() ? "Unknown" : verb, "InvalidRequest");
}

Lockdown::Reply Lockdown::getValue(plist_t request, const std::string& verb) {
  std::optional<std::string> domain = stringItem(request, "Domain");
  std::optional<std::string> key = stringItem(request, "Key");
  PlistPtr a = answerFor(verb);
  if (domain) setString(a.get(), "Domain", *domain);
  if (key) setString(a.get(), "Key", *key);
  if (domain && !domain->empty()) {
    // No domain holds values here; asking for all of one gives an empty set.
    if (key) return error(verb, "MissingValue");
    setItem(a.get(), "Value", newDict());
    return ok(std::move(a));
  }
  PlistPtr values = allValues();
  if (!key) {
    setItem(a.get(), "Value", std::move(values));
    return ok(std::move(a));
  }
  plist_t value = plist_dict_get_item(values.get(), key->c_str());
  if (!value) return error(verb, "MissingValue");
  plist_dict_set_item(a.get(), "Value", plist_copy(value));
  return ok(std::move(a));
}

Lockdown::Reply Lockdown::validatePair(plist_t request, const std::string& verb) {
  if (device_.faults().validate_error) return error(verb, *device_.faults().validate_error);
  std::optional<std::string> host = requestHostId(request);
  if (!host) return error(verb, "MissingHostID");
  if (host != device_.trustedHostId()) return error(verb, "InvalidHostID");
  return ok(answerFor(verb));
}

Lockdown::Reply Lockdown::pair(plist_t request, const std::string& verb) {
  switch (device_.faults().pair) {
    case PairAnswer::kRefuse:
      return error(verb, "UserDeniedPairing");
    case PairAnswer::kPending:
      return error(verb, "PairingDialogResponsePending");
    case PairAnswer::kAccept:
      break;
  }
  std::optional<std::string> host = requestHostId(request);
  if (!host) return error(verb, "MissingHostID");
  device_.trustHost(*host);
  PlistPtr a = answerFor(verb);
  setData(a.get(), "EscrowBag", randomUuid());
  return ok(std::move(a));
}

Lockdown::Reply Lockdown::startSession(plist_t request, const std::string& verb) {
  if (device_.faults().session_error) return error(verb, *device_.faults().session_error);
  std::optional<std::string> host = stringItem(request, "HostID");
  if (!host) return error(verb, "MissingHostID");
  if (host != device_.trustedHostId()) return error(verb, "InvalidHostID");
  if (sessionActive()) return error(verb, "SessionActive");
  session_id_ = randomUuid();
  PlistPtr a = answerFor(verb);
  setString(a.get(), "SessionID", session_id_);
  setBool(a.get(), "EnableSessionSSL", true);
  return ok(std::move(a), Reply::Then::kStartTls);
}

Lockdown::Reply Lockdown::stopSession(plist_t request, const std::string& verb) {
  if (!sessionActive()) return error(verb, "SessionInactive");
  std::optional<std::string> id = stringItem(request, "SessionID");
  if (!id) return error(verb, "MissingSessionID");
  if (*id != session_id_) return error(verb, "InvalidSessionID");
  session_id_.clear();
  return ok(answerFor(verb), Reply::Then::kStopTls);
}

Lockdown::Reply Lockdown::startService(plist_t request, const std::string& verb) {
  std::optional<std::string> service = stringItem(request, "Service");
  if (!service) return error(verb, "MissingService");
  if (device_.faults().refused_services.count(*service)) return error(verb, "InvalidService");
  static const char* const kKnown[] = {
      "com.apple.afc",
      "com.apple.crashreportcopymobile",
      "com.apple.mobile.house_arrest",
      "com.apple.mobile_image_mounter",
      "com.apple.mobile.file_relay",
      "com.apple.mobile.notification_proxy",
      "com.apple.mobile.installation_proxy",
      "com.apple.syslog_relay",
  };
  bool known = false;
  for (const char* name : kKnown) known = known || *service == name;
  if (!known) return error(verb, "InvalidService");
  uint16_t port = device_.registerService(*service);
  PlistPtr a = answerFor(verb);
  setString(a.get(), "Service", *service);
  setUint(a.get(), "Port", port);
  setBool(a.get(), "EnableServiceSSL", device_.faults().service_tls);
  return ok(std::move(a));
}

}  // namespace emulated_phone
