#include "lockdown.h"

#include <gtest/gtest.h>

namespace emulated_phone {
namespace {

constexpr char kHost[] = "11111111-2222-3333-4444-555555555555";

PlistPtr request(const char* verb) {
  PlistPtr r = newDict();
  setString(r.get(), "Request", verb);
  setString(r.get(), "Label", "test");
  return r;
}

PlistPtr withPairRecord(const char* verb, const char* host) {
  PlistPtr r = request(verb);
  PlistPtr record = newDict();
  if (host) setString(record.get(), "HostID", host);
  setItem(r.get(), "PairRecord", std::move(record));
  return r;
}

// A Device without real keys: lockdown itself never touches them.
std::unique_ptr<Device> makeDevice(const Faults& faults, bool paired) {
  Options o;
  o.faults = faults;
  o.name = "Phone";
  Credentials c;
  c.device_public_key_pem = "-----BEGIN RSA PUBLIC KEY-----\n";
  if (paired) {
    PlistPtr record = newDict();
    setString(record.get(), "HostID", kHost);
    c.pair_record = toXml(record.get());
  }
  return std::make_unique<Device>(o, std::move(c), Device::Clock::now());
}

std::string errorOf(const Lockdown::Reply& r) {
  return stringItem(r.answer.get(), "Error").value_or("");
}

TEST(Lockdown, EveryAnswerEchoesItsRequest) {
  auto device = makeDevice({}, true);
  Lockdown lockdown(*device);
  for (const char* verb : {"QueryType", "GetValue", "ValidatePair", "StartSession",
                           "StopSession", "StartService", "Nonsense"}) {
    Lockdown::Reply r = lockdown.handle(request(verb).get());
    EXPECT_EQ(stringItem(r.answer.get(), "Request"), verb);
  }
  PlistPtr no_request = newDict();
  EXPECT_EQ(errorOf(lockdown.handle(no_request.get())), "InvalidRequest");
}

TEST(Lockdown, ValuesOneAllAndMissing) {
  auto device = makeDevice({}, true);
  Lockdown lockdown(*device);
  PlistPtr r = request("GetValue");
  setString(r.get(), "Key", "DeviceName");
  Lockdown::Reply reply = lockdown.handle(r.get());
  EXPECT_EQ(stringItem(reply.answer.get(), "Value"), "Phone");
  EXPECT_EQ(stringItem(reply.answer.get(), "Key"), "DeviceName");

  PlistPtr key = request("GetValue");
  setString(key.get(), "Key", "DevicePublicKey");
  reply = lockdown.handle(key.get());
  EXPECT_EQ(dataItem(reply.answer.get(), "Value"), "-----BEGIN RSA PUBLIC KEY-----\n");

  reply = lockdown.handle(request("GetValue").get());
  plist_t all = plist_dict_get_item(reply.answer.get(), "Value");
  EXPECT_EQ(stringItem(all, "ProductVersion"), "17.5");
  EXPECT_EQ(stringItem(all, "UniqueDeviceID"), "00008110-000A1B2C3D4E5F60");

  PlistPtr missing = request("GetValue");
  setString(missing.get(), "Key", "NoSuchKey");
  EXPECT_EQ(errorOf(lockdown.handle(missing.get())), "MissingValue");

  PlistPtr domain = request("GetValue");
  setString(domain.get(), "Domain", "com.apple.disk_usage");
  setString(domain.get(), "Key", "DeviceName");
  EXPECT_EQ(errorOf(lockdown.handle(domain.get())), "MissingValue");
}

TEST(Lockdown, ValidateOnlyTheTrustedHost) {
  auto device = makeDevice({}, true);
  Lockdown lockdown(*device);
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", kHost).get())), "");
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", "other").get())),
            "InvalidHostID");
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", nullptr).get())),
            "MissingHostID");
}

TEST(Lockdown, PairingMakesAnUnpairedPhoneTrustTheHost) {
  auto device = makeDevice({}, false);
  Lockdown lockdown(*device);
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", kHost).get())),
            "InvalidHostID");
  Lockdown::Reply pair = lockdown.handle(withPairRecord("Pair", kHost).get());
  EXPECT_EQ(errorOf(pair), "");
  EXPECT_TRUE(dataItem(pair.answer.get(), "EscrowBag"));
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", kHost).get())), "");
  lockdown.handle(request("Unpair").get());
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", kHost).get())),
            "InvalidHostID");
}

TEST(Lockdown, PairingFaultsChangeNothing) {
  Faults refuse;
  refuse.pair = PairAnswer::kRefuse;
  auto device = makeDevice(refuse, false);
  Lockdown lockdown(*device);
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("Pair", kHost).get())), "UserDeniedPairing");
  EXPECT_FALSE(device->trustedHostId());
  Faults pending;
  pending.pair = PairAnswer::kPending;
  auto device2 = makeDevice(pending, false);
  Lockdown lockdown2(*device2);
  EXPECT_EQ(errorOf(lockdown2.handle(withPairRecord("Pair", kHost).get())),
            "PairingDialogResponsePending");
}

TEST(Lockdown, ValidateAndSessionErrorsOverrideSuccess) {
  Faults faults;
  faults.validate_error = "PasswordProtected";
  faults.session_error = "SessionInactive";
  auto device = makeDevice(faults, true);
  Lockdown lockdown(*device);
  EXPECT_EQ(errorOf(lockdown.handle(withPairRecord("ValidatePair", kHost).get())),
            "PasswordProtected");
  PlistPtr start = request("StartSession");
  setString(start.get(), "HostID", kHost);
  Lockdown::Reply r = lockdown.handle(start.get());
  EXPECT_EQ(errorOf(r), "SessionInactive");
  EXPECT_EQ(r.then, Lockdown::Reply::Then::kContinue);  // no TLS after an error
}

TEST(Lockdown, SessionStartsTlsAndStopsItOnlyForItsOwnId) {
  auto device = makeDevice({}, true);
  Lockdown lockdown(*device);
  PlistPtr wrong = request("StartSession");
  setString(wrong.get(), "HostID", "other");
  EXPECT_EQ(errorOf(lockdown.handle(wrong.get())), "InvalidHostID");
  EXPECT_EQ(errorOf(lockdown.handle(request("StopSession").get())), "SessionInactive");

  PlistPtr start = request("StartSession");
  setString(start.get(), "HostID", kHost);
  Lockdown::Reply r = lockdown.handle(start.get());
  EXPECT_EQ(r.then, Lockdown::Reply::Then::kStartTls);
  std::optional<std::string> id = stringItem(r.answer.get(), "SessionID");
  ASSERT_TRUE(id);
  EXPECT_EQ(errorOf(lockdown.handle(start.get())), "SessionActive");

  PlistPtr stop_other = request("StopSession");
  setString(stop_other.get(), "SessionID", "nope");
  EXPECT_EQ(errorOf(lockdown.handle(stop_other.get())), "InvalidSessionID");
  PlistPtr stop = request("StopSession");
  setString(stop.get(), "SessionID", *id);
  r = lockdown.handle(stop.get());
  EXPECT_EQ(errorOf(r), "");
  EXPECT_EQ(r.then, Lockdown::Reply::Then::kStopTls);
  EXPECT_FALSE(lockdown.sessionActive());
}

TEST(Lockdown, ServicesGetDistinctPortsUnlessRefusedOrUnknown) {
  Faults faults;
  faults.refused_services.insert("com.apple.crashreportcopymobile");
  auto device = makeDevice(faults, true);
  Lockdown lockdown(*device);
  auto start = [&](const char* name) {
    PlistPtr r = request("StartService");
    setString(r.get(), "Service", name);
    return lockdown.handle(r.get());
  };
  Lockdown::Reply a = start("com.apple.afc");
  Lockdown::Reply b = start("com.apple.afc");
  std::optional<uint64_t> pa = uintItem(a.answer.get(), "Port");
  std::optional<uint64_t> pb = uintItem(b.answer.get(), "Port");
  ASSERT_TRUE(pa && pb);
  EXPECT_NE(*pa, *pb);
  EXPECT_EQ(device->serviceAt(static_cast<uint16_t>(*pa)), "com.apple.afc");
  EXPECT_EQ(errorOf(start("com.apple.crashreportcopymobile")), "InvalidService");
  EXPECT_EQ(errorOf(start("com.example.none")), "InvalidService");
  EXPECT_EQ(errorOf(lockdown.handle(request("StartService").get())), "MissingService");
}

TEST(Lockdown, GoodbyeCloses) {
  auto device = makeDevice({}, true);
  Lockdown lockdown(*device);
  EXPECT_EQ(lockdown.handle(request("Goodbye").get()).then, Lockdown::Reply::Then::kClose);
}

}  // namespace
}  // namespace emulated_phone
