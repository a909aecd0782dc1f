#include "ptp_phone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>

#include "byte_order.h"
#include "fake_tree_fs.h"

namespace emulated_phone::usb {
namespace {

constexpr uint64_t kMay1 = kFakeTreeTime;  // every file's time

// Current iOS: DCIM 1, 202305__ 2, its AAE 3, HEIC 4, JPG 5; 202405__ 6, its MOV 7.
const std::map<std::string, std::string> kIosTree = {
    {"/DCIM/", ""},
    {"/DCIM/202305__/", ""},
    {"/DCIM/202305__/IMG_0001.HEIC", "exif:2023:05:01 12:00:00"},
    {"/DCIM/202305__/IMG_0001.AAE", "aae"},
    {"/DCIM/202305__/IMG_0002.JPG", "jpeg bytes"},
    {"/DCIM/202405__/", ""},
    {"/DCIM/202405__/IMG_0003.MOV", "movie"}};

// What the phone sent back, decoded.
struct Reply {
  bool unplug = false;
  bool has_data = false;
  uint32_t data_length = 0;  // the data container's length field
  std::string data;          // its payload as sent (header payload and file bytes)
  bool split_header = false;
  double delay = 0;
  uint16_t code = 0;
  uint32_t transaction = 0;
  std::vector<uint32_t> params;
};

const unsigned char* raw(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

Reply decode(const Answer& a) {
  Reply r;
  r.unplug = a.unplug;
  for (const InMessage& m : a.messages) {
    if (containerType(m.head) == ptp::kResponse) {
      r.code = containerCode(m.head);
      r.transaction = containerTransaction(m.head);
      for (size_t at = 12; at + 4 <= m.head.size(); at += 4) r.params.push_back(loadLe32(raw(m.head) + at));
      continue;
    }
    r.has_data = true;
    r.data_length = containerLength(m.head);
    r.split_header = m.split_header;
    r.delay = m.delay;
    r.data = m.head.substr(12);
    std::string body(static_cast<size_t>(std::min<uint64_t>(m.body.length, 1 << 20)), '\0');
    if (!body.empty()) body.resize(static_cast<size_t>(m.body.file->readAt(body.data(), body.size(), m.body.offset)));
    r.data += body;
  }
  return r;
}

// A PTP string at `*at` as UTF-8, with units outside ASCII as \uXXXX.
std::string text(const std::string& d, size_t* at) {
  const size_t n = static_cast<unsigned char>(d.at(*at));
  std::string out;
  for (size_t i = 0; i + 1 < n; ++i) {
    const uint16_t u = loadLe16(raw(d) + *at + 1 + 2 * i);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
    out += u < 0x80 ? std::string(1, static_cast<char>(u)) : escaped;
  }
  *at += 1 + 2 * n;
  return out;
}

struct Info {
  uint16_t format = 0;
  uint64_t size = 0;
  uint32_t parent = 0;
  uint16_t association = 0;
  std::string name, capture, modification;
};

Info info(const std::string& d, bool wide = false) {
  Info i;
  i.format = loadLe16(raw(d) + 4);
  i.size = wide ? loadLe64(raw(d) + 8) : loadLe32(raw(d) + 8);
  const size_t after = wide ? 4 : 0;
  i.parent = loadLe32(raw(d) + 38 + after);
  i.association = loadLe16(raw(d) + 42 + after);
  size_t at = 52 + after;
  i.name = text(d, &at);
  i.capture = text(d, &at);
  i.modification = text(d, &at);
  return i;
}

std::vector<uint32_t> array32(const std::string& d) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < loadLe32(raw(d)); ++i) out.push_back(loadLe32(raw(d) + 4 + 4 * i));
  return out;
}

class PtpPhoneTest : public ::testing::Test {
 protected:
  PtpPhoneTest() {
    ::setenv("TZ", "Asia/Tokyo", 1);
    ::tzset();
  }
  void make(PhoneSetup setup = {}, const std::map<std::string, std::string>& tree = kIosTree) {
    setup.exif_date = [](OpenFile& f) -> std::optional<std::string> {
      std::string head(24, '\0');
      head.resize(static_cast<size_t>(f.readAt(head.data(), head.size(), 0)));
      if (head.rfind("exif:", 0) != 0) return std::nullopt;
      return head.substr(5);
    };
    phone_ = std::make_unique<PtpPhone>(std::make_shared<FakeTreeFs>(tree), std::move(setup), [this] { return now_; });
    transaction_ = 0;
  }
  Reply send(uint16_t code, std::vector<uint32_t> params = {}, uint32_t transaction = UINT32_MAX) {
    Command c;
    c.code = code;
    c.transaction = transaction == UINT32_MAX ? ++transaction_ : transaction;
    c.params = std::move(params);
    return decode(phone_->handle(c));
  }
  Reply declare(std::vector<uint16_t> formats) {
    Command c{ptp::kAppleSetHostSupportedFormats, 0, {}, true, ptp::kAppleSetHostSupportedFormats,
              Dataset().array16(formats).data()};
    return decode(phone_->handle(c));
  }
  // Opens a session and lets the moment pass in which a trusting phone still shows its placeholder.
  void open() {
    ASSERT_EQ(send(ptp::kOpenSession, {1}, 0).code, ptp::kOk);
    transaction_ = 0;
    now_ += 1;
  }
  std::unique_ptr<PtpPhone> phone_;
  double now_ = 100;
  uint32_t transaction_ = 0;
};

TEST(PtpWireTest, StringsDatesAndEscapes) {
  EXPECT_EQ(Dataset().string(std::string()).data(), std::string(1, '\0'));
  EXPECT_EQ(Dataset().string(std::string("Aé")).data(), std::string("\x03" "A\0\xe9\0\0\0", 7));
  EXPECT_EQ(utf16("\xff"), u"\xFFFD");  // not UTF-8
  std::u16string units;
  ASSERT_TRUE(utf16WithEscapes("a\\u002Fb\\uD800.JPG", &units));
  EXPECT_EQ(units, std::u16string(u"a/b") + char16_t(0xD800) + u".JPG");
  EXPECT_FALSE(utf16WithEscapes("\\u12G4", &units));
  ::setenv("TZ", "America/New_York", 1);
  ::tzset();
  EXPECT_EQ(ptpDate(kMay1), "20240501T060000.0");  // the phone's wall clock
  EXPECT_EQ(ptpDateFromExif("2023:05:01 12:34:56"), "20230501T123456.0");
  EXPECT_EQ(ptpDateFromExif("0000:00:00 00:00:00"), "");
  EXPECT_EQ(ptpDateFromExif("2023-05-01"), "");
  EXPECT_EQ(containerLength(container(ptp::kData, 0x1009, 1, "", 0x100000000ull)), 0xFFFFFFFEu);
}

// One request after a session was opened (transaction 0, session 1): the rule it shows.
struct Rule {
  const char* what;
  std::function<void(PhoneSetup&)> setup;
  uint16_t code;
  std::vector<uint32_t> params;
  uint16_t response;
  std::vector<uint32_t> response_params;
  std::function<void(const Reply&)> check;
};

TEST_F(PtpPhoneTest, EachOperationsLayoutAndRules) {
  const auto none = [](PhoneSetup&) {};
  const auto handles = [](std::vector<uint32_t> want) {
    return [want](const Reply& r) { EXPECT_EQ(array32(r.data), want); };
  };
  const std::vector<Rule> rules = {
      {"second OpenSession names the open one", none, ptp::kOpenSession, {5}, 0x201E, {1}, nullptr},
      {"unknown operation", none, 0x1017, {}, 0x2005, {}, nullptr},
      {"device info lists the phone's own operations", none, ptp::kGetDeviceInfo, {}, 0x2001, {}, [](const Reply& r) {
         EXPECT_NE(r.data.find(Dataset().u16(0x900E).u16(0x9805).data()), std::string::npos);
       }},
      {"... and not when it has none", [](PhoneSetup& s) { s.refuse_apple_ops = true; }, ptp::kGetDeviceInfo, {}, 0x2001,
       {}, [](const Reply& r) { EXPECT_EQ(r.data.find(Dataset().u16(0x9001).data()), std::string::npos); }},
      {"Apple's operations refused", [](PhoneSetup& s) { s.refuse_apple_ops = true; }, 0x9001, {}, 0x2005, {}, nullptr},
      {"trusted at once: the store", none, ptp::kGetStorageIds, {}, 0x2001, {}, handles({kStorageId})},
      {"storage info of an unknown store", none, ptp::kGetStorageInfo, {kPlaceholderStorageId}, 0x2008, {}, nullptr},
      {"month folders", none, ptp::kGetObjectHandles, {kStorageId, 0, 0xFFFFFFFF}, 0x2001, {}, handles({2, 6})},
      {"files newest first", none, ptp::kGetObjectHandles, {kStorageId, 0, 2}, 0x2001, {}, handles({5, 4, 3})},
      {"whole tree, DCIM first", none, ptp::kGetObjectHandles, {0xFFFFFFFF, 0, 0}, 0x2001, {}, handles({1, 2, 5, 4, 3, 6, 7})},
      {"by format", none, ptp::kGetObjectHandles, {kStorageId, ptp::kQuickTime, 0}, 0x2001, {}, handles({7})},
      {"unknown store", none, ptp::kGetObjectHandles, {2, 0, 0}, 0x2008, {}, nullptr},
      {"a file is no parent", none, ptp::kGetObjectHandles, {kStorageId, 0, 5}, 0x201A, {}, nullptr},
      {"count", none, ptp::kGetNumObjects, {kStorageId, 0, 0}, 0x2001, {7}, nullptr},
      {"DCIM hangs from the store", none, ptp::kGetObjectInfo, {1}, 0x2001, {}, [](const Reply& r) {
         const Info i = info(r.data);
         EXPECT_EQ(i.parent, kStorageId);
         EXPECT_EQ(i.format, ptp::kAssociation);
         EXPECT_EQ(i.association, 1);
       }},
      {"a month folder: 1st of the month", none, ptp::kGetObjectInfo, {2}, 0x2001, {}, [](const Reply& r) {
         const Info i = info(r.data);
         EXPECT_EQ(i.parent, 1u);
         EXPECT_EQ(i.capture, "20230501T000000.0");
         EXPECT_EQ(i.modification, "20230501T000000.0");
       }},
      {"HEIC as JPEG, dated by its Exif", [](PhoneSetup& s) { s.modification_shift = 60; },
       ptp::kGetObjectInfo, {4}, 0x2001, {}, [](const Reply& r) {
         const Info i = info(r.data);
         EXPECT_EQ(i.format, ptp::kExifJpeg);
         EXPECT_EQ(i.size, 24u);
         EXPECT_EQ(i.parent, 2u);
         EXPECT_EQ(i.name, "IMG_0001.HEIC");
         EXPECT_EQ(i.capture, "20230501T120000.0");
         EXPECT_EQ(i.modification, "20240501T190100.0");  // the file's time in Tokyo, shifted
       }},
      {"a photo without Exif: the file's time", none, ptp::kGetObjectInfo, {5}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(info(r.data).capture, "20240501T190000.0");
       }},
      {"AAE undefined", none, ptp::kGetObjectInfo, {3}, 0x2001, {}, [](const Reply& r) { EXPECT_EQ(info(r.data).format, 0x3000); }},
      {"movie", none, ptp::kGetObjectInfo, {7}, 0x2001, {}, [](const Reply& r) { EXPECT_EQ(info(r.data).format, 0x300D); }},
      {"info of an unknown handle", none, ptp::kGetObjectInfo, {99}, 0x2009, {}, nullptr},
      {"dates as given", [](PhoneSetup& s) { s.dates["IMG_0002.JPG"] = {"", "garbage"}; },
       ptp::kGetObjectInfo, {5}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(info(r.data).capture, "");
         EXPECT_EQ(info(r.data).modification, "garbage");
       }},
      {"a name no folder can hold", [](PhoneSetup& s) { utf16WithEscapes("a\\u002Fb\\uD800.JPG", &s.show_names["IMG_0002.JPG"]); },
       ptp::kGetObjectInfo, {5}, 0x2001, {}, [](const Reply& r) { EXPECT_EQ(info(r.data).name, "a/b\\uD800.JPG"); }},
      {"announced size", [](PhoneSetup& s) { s.announce["IMG_0002.JPG"] = 3; },
       ptp::kGetObjectInfo, {5}, 0x2001, {}, [](const Reply& r) { EXPECT_EQ(info(r.data).size, 3u); }},
      {"listed twice", [](PhoneSetup& s) { s.catalogue.duplicated.insert("IMG_0001.AAE"); },
       ptp::kGetObjectHandles, {kStorageId, 0, 2}, 0x2001, {}, handles({6, 5, 4, 3})},
      {"object", none, ptp::kGetObject, {5}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(r.data, "jpeg bytes");
         EXPECT_EQ(r.data_length, 22u);
       }},
      {"object of an unknown handle", none, ptp::kGetObject, {99}, 0x2007, {}, nullptr},
      {"announced smaller: every real byte", [](PhoneSetup& s) { s.announce["IMG_0002.JPG"] = 3; },
       ptp::kGetObject, {5}, 0x2001, {}, [](const Reply& r) { EXPECT_EQ(r.data, "jpeg bytes"); }},
      {"the conversion fails", [](PhoneSetup& s) { s.conversion_fails.insert("IMG_0002.JPG"); },
       ptp::kGetObject, {5}, 0x2007, {}, [](const Reply& r) { EXPECT_EQ(r.data_length, 12u); }},
      {"partial: clamped", none, ptp::kGetPartialObject, {5, 5, 100}, 0x2001, {5}, [](const Reply& r) {
         EXPECT_EQ(r.data, "bytes");
       }},
      {"partial: to the end", none, ptp::kGetPartialObject, {5, 8, 0xFFFFFFFF}, 0x2001, {2}, nullptr},
      {"partial: at the end", none, ptp::kGetPartialObject, {5, 10, 1}, 0x2001, {0}, nullptr},
      {"partial: past the end", none, ptp::kGetPartialObject, {5, 11, 1}, 0x201D, {}, nullptr},
      {"partial: nothing asked", none, ptp::kGetPartialObject, {5, 0, 0}, 0x201D, {}, nullptr},
      {"partial: unknown handle", none, ptp::kGetPartialObject, {99, 0, 1}, 0x2007, {}, nullptr},
      {"partial: the phone has fewer bytes than it announced", [](PhoneSetup& s) { s.announce["IMG_0002.JPG"] = 20; },
       ptp::kGetPartialObject, {5, 4, 12}, 0x2007, {}, [](const Reply& r) {
         EXPECT_EQ(r.data_length, 24u);  // promised 12, sent 6
         EXPECT_EQ(r.data, " bytes");
       }},
      {"64-bit partial", none, ptp::kAppleGetPartialObject64, {5, 1, 0, 4, 0}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(r.data, "peg ");
       }},
      {"64-bit partial: past the end", none, ptp::kAppleGetPartialObject64, {5, 0, 1, 4, 0}, 0x201D, {}, nullptr},
      {"64-bit size", none, ptp::kAppleObjectSize64, {5}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(r.data, std::string("\x0a\0\0\0\0\0\0\0", 8));
       }},
      {"64-bit size of an unknown handle", none, ptp::kAppleObjectSize64, {99}, 0x2003, {}, nullptr},
      {"no thumbnail", none, ptp::kGetThumb, {5}, 0x2010, {}, nullptr},
      {"delete refused", none, ptp::kDeleteObject, {5}, 0x200F, {}, nullptr},
      {"no device properties", none, ptp::kGetDevicePropDesc, {0x5001}, 0x200A, {}, nullptr},
      {"setting one: at once", none, ptp::kSetDevicePropValue, {0x5001}, 0x2001, {}, nullptr},
      {"keep awake", none, ptp::kAppleKeepAwake, {}, 0x2001, {}, nullptr},
      {"number of objects", none, ptp::kAppleNumObjects, {}, 0x2001, {4, 3, 0, 1}, nullptr},
      {"bulk catalogue: no count, DCIM first, u64 sizes", none, ptp::kAppleObjectInfos64, {kStorageId, 0, 0}, 0x2001, {},
       [](const Reply& r) {
         std::vector<uint32_t> order;
         for (size_t at = 0; at < r.data.size();) {
           order.push_back(loadLe32(raw(r.data) + at));
           const std::string one = r.data.substr(at + 8, loadLe32(raw(r.data) + at + 4));
           if (order.back() == 5) {
             EXPECT_EQ(info(one, true).size, 10u);
           }
           at += 8 + one.size();
         }
         EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 5, 4, 3, 6, 7}));
       }},
      {"bulk catalogue: u32 sizes", none, ptp::kAppleObjectInfos, {kStorageId, 0, 6}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(loadLe32(raw(r.data)), 7u);
         EXPECT_EQ(info(r.data.substr(8)).size, 5u);
       }},
      {"bulk catalogue: empty", none, ptp::kAppleObjectInfos, {kStorageId, ptp::kPng, 0}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(r.data, std::string(4, '\0'));
       }},
      {"bulk catalogue: bad store", none, ptp::kAppleObjectInfos64, {kPlaceholderStorageId, 0, 0}, 0x2007, {}, nullptr},
      {"property list of one object", none, ptp::kMtpGetObjectPropList, {5, 0, 0xFFFFFFFF, 0, 0}, 0x2001, {},
       [](const Reply& r) { EXPECT_EQ(loadLe32(raw(r.data)), 8u); }},
      {"property list: one property", none, ptp::kMtpGetObjectPropList, {5, 0, ptp::kPropObjectSize, 0, 0}, 0x2001, {},
       [](const Reply& r) { EXPECT_EQ(r.data.substr(4), Dataset().u32(5).u16(0xDC04).u16(8).u64(10).data()); }},
      {"property list of everything", none, ptp::kMtpGetObjectPropList, {0xFFFFFFFF, 0, 0xFFFFFFFF, 0, 0}, 0x2007, {}, nullptr},
      {"property list of handle 0", none, ptp::kMtpGetObjectPropList, {0, 0, 0xFFFFFFFF, 0, 0}, 0x2007, {}, nullptr},
      {"Automatic: HEIC comes as JPEG of the estimated size", [](PhoneSetup& s) { s.automatic = true; },
       ptp::kGetObjectInfo, {4}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(info(r.data).name, "IMG_0001.JPG");
         EXPECT_EQ(info(r.data).size, 24u + 12u + 4096u);
       }},
      {"Automatic: the converted bytes are padded to it", [](PhoneSetup& s) { s.automatic = true; },
       ptp::kGetObject, {4}, 0x2001, {}, [](const Reply& r) {
         EXPECT_EQ(r.data, std::string("exif:2023:05:01 12:00:00") + std::string(12 + 4096, '\0'));
         EXPECT_EQ(r.delay, 0);
       }},
      {"Automatic: a movie waits for each range", [](PhoneSetup& s) { s.automatic = true; s.movie_delay = 2; },
       ptp::kGetPartialObject, {7, 0, 100}, 0x2001, {100}, [](const Reply& r) { EXPECT_EQ(r.delay, 2); }},
      {"Automatic: AAE as it is", [](PhoneSetup& s) { s.automatic = true; },
       ptp::kAppleObjectSize64, {3}, 0x2001, {}, [](const Reply& r) { EXPECT_EQ(loadLe64(raw(r.data)), 3u); }},
  };
  for (const Rule& rule : rules) {
    SCOPED_TRACE(rule.what);
    PhoneSetup setup;
    rule.setup(setup);
    make(setup);
    open();
    const Reply r = send(rule.code, rule.params, rule.code == ptp::kOpenSession ? 0 : UINT32_MAX);
    EXPECT_EQ(r.code, rule.response);
    EXPECT_EQ(r.params, rule.response_params);
    if (rule.check) rule.check(r);
  }
}

TEST_F(PtpPhoneTest, SessionsAndTransactionIds) {
  make();
  EXPECT_EQ(send(ptp::kGetStorageIds).code, 0x2003);
  EXPECT_EQ(send(ptp::kOpenSession, {1}, 1).code, 0x201D);  // not transaction 0
  EXPECT_EQ(send(ptp::kOpenSession, {0}, 0).code, 0x201D);  // session 0
  // Outside a session: the host's formats (answered with ID 0) and MTP mode.
  const Reply declared = declare({ptp::kHeif, ptp::kHevc});
  EXPECT_EQ(declared.code, 0x2001);
  EXPECT_EQ(declared.transaction, 0u);
  EXPECT_EQ(send(ptp::kAppleMtpMode, {0}, 0).code, 0x2001);
  open();
  EXPECT_EQ(send(ptp::kGetStorageIds, {}, 4).code, 0x2001);
  EXPECT_EQ(send(ptp::kGetStorageIds, {}, 4).code, 0x2004);  // stale
  Command wrong{ptp::kAppleSetHostSupportedFormats, 5, {}, true, 0x1009, ""};
  EXPECT_EQ(decode(phone_->handle(wrong)).code, 0x2019);    // a data phase of another operation
  EXPECT_EQ(send(ptp::kGetDeviceInfo, {}, 2).code, 0x2004);  // stale, and the session is closed
  EXPECT_EQ(send(ptp::kGetStorageIds, {}, 9).code, 0x2003);
}

TEST_F(PtpPhoneTest, HostThatDeclaredHeifAndHevcGetsOriginalsInSplitContainers) {
  PhoneSetup setup;
  setup.automatic = true;
  make(setup);
  ASSERT_EQ(declare({0x3801, ptp::kHeif2, ptp::kHevc}).code, 0x2001);
  open();
  const Reply heic = send(ptp::kGetObjectInfo, {4});
  EXPECT_TRUE(heic.split_header);
  EXPECT_EQ(info(heic.data).format, ptp::kHeif);
  EXPECT_EQ(info(heic.data).name, "IMG_0001.HEIC");
  EXPECT_EQ(info(send(ptp::kGetObjectInfo, {7}).data).format, ptp::kHevc);
  EXPECT_EQ(send(ptp::kGetObject, {7}).data, "movie");
  EXPECT_EQ(declare({}).code, 0x2004);  // in a session, transaction 0 is stale
  Command cut{ptp::kAppleSetHostSupportedFormats, 9, {}, true, ptp::kAppleSetHostSupportedFormats,
              std::string("\x02\0\0\0\x01\xb4", 6)};
  EXPECT_EQ(decode(phone_->handle(cut)).code, 0x201D);  // two formats announced, one sent
}

TEST_F(PtpPhoneTest, TrustSequenceWithTheLibraryEnumeratedInBetween) {
  // Trusted at once: the host that looks sees the placeholder, then the events.
  make();
  ASSERT_EQ(send(ptp::kOpenSession, {1}, 0).code, ptp::kOk);
  EXPECT_EQ(array32(send(ptp::kGetStorageIds).data), std::vector<uint32_t>{kPlaceholderStorageId});
  EXPECT_EQ(phone_->takeEvents().size(), 3u);
  EXPECT_EQ(array32(send(ptp::kGetStorageIds).data), std::vector<uint32_t>{kStorageId});

  PhoneSetup setup;
  setup.trust_after = 5;
  setup.enumerate_after = 3;
  make(setup);
  EXPECT_LT(phone_->nextEventAt(), 0);  // nothing before a session
  open();
  EXPECT_EQ(array32(send(ptp::kGetStorageIds).data), std::vector<uint32_t>{kPlaceholderStorageId});
  EXPECT_NE(send(ptp::kGetStorageInfo, {kPlaceholderStorageId}).data.find("I\0n\0t\0e\0r\0n\0a\0l", 0, 15), std::string::npos);
  EXPECT_TRUE(array32(send(ptp::kGetObjectHandles, {0xFFFFFFFF, 0, 0}).data).empty());
  EXPECT_EQ(send(ptp::kAppleNumObjects).params, (std::vector<uint32_t>{0, 0, 1, 0}));
  EXPECT_TRUE(phone_->takeEvents().empty());
  EXPECT_EQ(phone_->nextEventAt(), 105);
  now_ = 105;
  std::vector<std::string> events = phone_->takeEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], container(ptp::kEvent, 0x4005, 0xFFFFFFFF, Dataset().u32(kPlaceholderStorageId).data()));
  EXPECT_TRUE(array32(send(ptp::kGetStorageIds).data).empty());  // enumerating
  EXPECT_EQ(send(ptp::kAppleNumObjects).params, (std::vector<uint32_t>{0, 0, 0, 1}));
  now_ = 108;
  events = phone_->takeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], container(ptp::kEvent, 0xC001, 0xFFFFFFFF, ""));
  EXPECT_EQ(events[1], container(ptp::kEvent, 0x4004, 0xFFFFFFFF, Dataset().u32(kStorageId).data()));
  EXPECT_EQ(array32(send(ptp::kGetStorageIds).data), std::vector<uint32_t>{kStorageId});
  EXPECT_LT(phone_->nextEventAt(), 0);
  // A new session starts with the placeholder again; trust is kept.
  EXPECT_EQ(send(ptp::kCloseSession).code, 0x2001);
  open();
  EXPECT_EQ(phone_->takeEvents().size(), 1u);
}

TEST_F(PtpPhoneTest, ObjectsOfFourGibibytesAreListedOnlyAfterLargeListingIsOn) {
  PhoneSetup setup;
  setup.catalogue.large["DCIM/202405__/IMG_0100.MOV"] = 5ull << 30;
  setup.catalogue.large["DCIM/202406__/IMG_0200.MOV"] = 16;  // a folder made for it
  make(setup);
  open();
  EXPECT_EQ(array32(send(ptp::kGetObjectHandles, {kStorageId, 0, 6}).data), std::vector<uint32_t>{7});
  EXPECT_EQ(send(ptp::kGetNumObjects, {kStorageId, 0, 0}).params, std::vector<uint32_t>{9});
  const Info i = info(send(ptp::kGetObjectInfo, {8}).data);
  EXPECT_EQ(i.size, 0xFFFFFFFFu);
  EXPECT_EQ(i.name, "IMG_0100.MOV");
  EXPECT_EQ(send(ptp::kAppleMtpMode, {0}).code, 0x2001);
  EXPECT_EQ(array32(send(ptp::kGetObjectHandles, {kStorageId, 0, 6}).data), (std::vector<uint32_t>{8, 7}));
  EXPECT_EQ(loadLe64(raw(send(ptp::kAppleObjectSize64, {8}).data)), 5ull << 30);
  EXPECT_EQ(send(ptp::kGetObject, {8}).data_length, 0xFFFFFFFEu);
  // Every aligned word holds its own offset.
  const Reply word = send(ptp::kAppleGetPartialObject64, {8, 8, 1, 12, 0});
  EXPECT_EQ(word.data, Dataset().u64((1ull << 32) + 8).u32(static_cast<uint32_t>((1ull << 32) + 16)).data());
}

TEST_F(PtpPhoneTest, FolderLaidOutOtherwiseIsShownAsItIs) {
  make({}, {{"/DCIM/", ""}, {"/DCIM/100APPLE/", ""}, {"/DCIM/100APPLE/IMG_0001.JPG", "a"},
            {"/DCIM/100APPLE/IMG_0002.JPG", "b"}, {"/202405__/", ""}, {"/202405__/IMG_0003.PNG", "c"}});
  open();
  EXPECT_EQ(array32(send(ptp::kGetObjectHandles, {kStorageId, 0, 0xFFFFFFFF}).data), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(array32(send(ptp::kGetObjectHandles, {kStorageId, 0, 4}).data), (std::vector<uint32_t>{5, 6}));
  EXPECT_EQ(info(send(ptp::kGetObjectInfo, {3}).data).parent, 0u);
  EXPECT_EQ(info(send(ptp::kGetObjectInfo, {1}).data).capture, "20240501T190000.0");
}

TEST_F(PtpPhoneTest, BusyAndUnplugFaults) {
  PhoneSetup setup;
  setup.busy[0x1002] = 1;
  setup.catalogue_answers_before_unplug = 1;
  make(setup);
  EXPECT_EQ(send(ptp::kOpenSession, {1}, 0).code, 0x2019);
  open();
  EXPECT_FALSE(send(ptp::kGetObjectHandles, {kStorageId, 0, 0xFFFFFFFF}).unplug);
  EXPECT_TRUE(send(ptp::kAppleObjectInfos64, {kStorageId, 0, 0}).unplug);
}

}  // namespace
}  // namespace emulated_phone::usb
