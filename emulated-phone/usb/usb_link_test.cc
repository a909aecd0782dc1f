#include "usb_link.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "fake_tree_fs.h"
#include "usb_descriptors.h"

namespace emulated_phone::usb {
namespace {

class UsbLinkTest : public ::testing::Test {
 protected:
  // A phone of one file of `file_size` bytes at the root, handle 1.
  void make(size_t file_size, CableFaults faults = {}, PhoneSetup setup = {}, std::string name = "IMG_0001.JPG") {
    const Clock clock = [this] { return now_; };
    auto files = std::make_shared<FakeTreeFs>(std::map<std::string, std::string>{{"/" + name, std::string(file_size, 'x')}});
    phone_ = std::make_unique<PtpPhone>(files, setup, clock);
    link_ = std::make_unique<UsbLink>(*phone_, faults, clock);
  }
  void bulkOut(const std::string& bytes) {
    Urb out{next_++, kUrbTypeBulk, kBulkOut, bytes.size(), bytes};
    ASSERT_EQ(link_->submit(out), 0);
    Completion done;
    int error = 0;
    ASSERT_TRUE(link_->reap(&done, &error));
    EXPECT_EQ(done.actual, out.length);
  }
  void command(uint16_t code, std::vector<uint32_t> params) {
    Dataset payload;
    for (uint32_t p : params) payload.u32(p);
    bulkOut(container(ptp::kCommand, code, code == ptp::kOpenSession ? 0 : ++transaction_, payload.data()));
  }
  void openSession() {
    command(ptp::kOpenSession, {1});
    ASSERT_EQ(read(512).size(), 1u);
    now_ += 1;  // the store is there
  }
  // Submits a bulk-in URB of `length` and reaps what is done.
  std::vector<Completion> read(size_t length) {
    EXPECT_EQ(link_->submit(Urb{next_++, kUrbTypeBulk, kBulkIn, length, ""}), 0);
    std::vector<Completion> all;
    Completion done;
    int error = 0;
    while (link_->reap(&done, &error)) all.push_back(done);
    return all;
  }
  // A class request on endpoint 0; what it answered.
  Completion control(uint8_t type, uint8_t request, std::string data, size_t length) {
    std::string setup{static_cast<char>(type), static_cast<char>(request), 0, 0, 0, 0,
                      static_cast<char>(length), 0};
    EXPECT_EQ(link_->submit(Urb{next_++, kUrbTypeControl, 0, 8 + length, setup + data}), 0);
    Completion done;
    int error = 0;
    EXPECT_TRUE(link_->reap(&done, &error));
    return done;
  }
  static uint16_t code(const Completion& c) { return containerCode(c.data); }
  std::unique_ptr<PtpPhone> phone_;
  std::unique_ptr<UsbLink> link_;
  double now_ = 0;
  uint64_t next_ = 1;
  uint32_t transaction_ = 0;
};

TEST_F(UsbLinkTest, TransferOfWholePacketsEndsWithAZeroLengthPacket) {
  make(1024 - 12);  // the data phase is exactly two packets
  openSession();
  command(ptp::kGetObject, {1});
  auto first = read(512);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].actual, 512u);
  EXPECT_EQ(read(512)[0].actual, 512u);
  EXPECT_EQ(read(512)[0].actual, 0u);   // the zero-length packet
  EXPECT_EQ(read(512)[0].actual, 12u);  // then the response
  // A URB larger than the data takes the whole phase: no extra packet.
  command(ptp::kGetObject, {1});
  EXPECT_EQ(read(4096)[0].actual, 1024u);
  EXPECT_EQ(read(512)[0].actual, 12u);
}

TEST_F(UsbLinkTest, SplitHeaderIsATransferOfItsOwn) {
  make(1024);
  command(ptp::kAppleMtpMode, {1});  // no session needed
  EXPECT_EQ(code(read(512)[0]), ptp::kOk);
  openSession();
  command(ptp::kGetObject, {1});
  EXPECT_EQ(read(4096)[0].actual, 12u);
  EXPECT_EQ(read(512)[0].actual, 512u);  // the payload is two whole packets...
  EXPECT_EQ(read(512)[0].actual, 512u);
  EXPECT_EQ(read(512)[0].actual, 0u);    // ...so a zero-length one ends it
  EXPECT_EQ(code(read(512)[0]), ptp::kOk);
}

TEST_F(UsbLinkTest, HostDataPhaseAndClassRequests) {
  make(3000);
  bulkOut(container(ptp::kCommand, ptp::kAppleSetHostSupportedFormats, 0, ""));
  EXPECT_TRUE(read(512).empty());  // the phone waits for the data phase
  bulkOut(container(ptp::kData, ptp::kAppleSetHostSupportedFormats, 0, Dataset().array16({ptp::kHeif}).data()));
  EXPECT_EQ(code(read(512)[0]), ptp::kOk);
  const Completion status = control(0xA1, 0x67, "", 4);
  EXPECT_EQ(status.at, 8u);
  EXPECT_EQ(status.data, std::string("\x04\x00\x01\x20", 4));

  // Cancel while a data phase is being sent: a zero-length packet, then IncompleteTransfer.
  openSession();
  command(ptp::kGetObject, {1});
  EXPECT_EQ(read(12)[0].actual, 12u);  // the split header
  EXPECT_EQ(read(512)[0].actual, 512u);
  EXPECT_EQ(control(0x21, 0x64, std::string("\x01\x40\x02\0\0\0", 6), 6).actual, 6u);
  EXPECT_EQ(read(512)[0].actual, 0u);
  EXPECT_EQ(code(read(512)[0]), ptp::kIncompleteTransfer);
  // Cancel while nothing is sent: the next data phase is the one cancelled.
  control(0x21, 0x64, std::string("\x01\x40\x03\0\0\0", 6), 6);
  command(ptp::kGetObject, {1});
  EXPECT_EQ(read(512)[0].actual, 0u);
  EXPECT_EQ(code(read(512)[0]), ptp::kIncompleteTransfer);
}

TEST_F(UsbLinkTest, ConvertedMovieWaitsBeforeItsFirstByte) {
  PhoneSetup setup;
  setup.automatic = true;
  setup.movie_delay = 2;
  make(100, {}, setup, "IMG_0001.MOV");
  openSession();
  command(ptp::kGetObject, {1});
  EXPECT_TRUE(read(65536).empty());
  EXPECT_EQ(link_->nextWake(), now_ + 2);
  now_ += 2;
  link_->tick();
  Completion done;
  int error = 0;
  ASSERT_TRUE(link_->reap(&done, &error));
  EXPECT_EQ(done.actual, 12u + 100 * 2 + 4096);
  EXPECT_LT(link_->nextWake(), 0);
}

TEST_F(UsbLinkTest, StallKeepsTheUrbPendingUntilDiscarded) {
  make(3000, CableFaults{-1, 1000});
  openSession();
  command(ptp::kGetObject, {1});
  EXPECT_EQ(read(512).size(), 1u);   // 500 bytes of the file
  EXPECT_EQ(read(1024).size(), 0u);  // would pass byte 1000: nothing comes
  EXPECT_TRUE(link_->stalled());
  EXPECT_EQ(link_->discard(next_ - 1), 0);
  Completion done;
  int error = 0;
  ASSERT_TRUE(link_->reap(&done, &error));
  EXPECT_EQ(done.status, -ENOENT);
  EXPECT_EQ(link_->discard(12345), -EINVAL);
}

TEST_F(UsbLinkTest, UnplugEndsPendingUrbsAndEveryLaterCallUntilPluggedInAgain) {
  make(3000, CableFaults{1000, -1});
  ASSERT_EQ(link_->submit(Urb{100, kUrbTypeInterrupt, kInterruptIn, 64, ""}), 0);
  openSession();
  command(ptp::kGetObject, {1});
  read(512);  // 500 bytes and the first event
  auto rest = read(1024);  // passes byte 1000: the cable is pulled
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].status, -ENODEV);
  Completion done;
  int error = 0;
  EXPECT_FALSE(link_->reap(&done, &error));
  EXPECT_EQ(error, ENODEV);
  EXPECT_EQ(link_->submit(Urb{7, kUrbTypeBulk, kBulkIn, 512, ""}), -ENODEV);

  // Plugged in again: the phone's session is closed and the fault is spent.
  link_->plugIn();
  openSession();  // not SessionAlreadyOpen
  command(ptp::kGetObject, {1});
  auto whole = read(4096);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].status, 0);
  EXPECT_EQ(whole[0].actual, 3012u);
}

TEST_F(UsbLinkTest, EventsWaitForTheirTimeAndAnInterruptUrb) {
  PhoneSetup setup;
  setup.trust_after = 5;
  make(1, {}, setup);
  openSession();
  EXPECT_EQ(link_->nextWake(), 5);
  now_ = 5;
  link_->tick();
  EXPECT_FALSE(link_->reapable());
  for (uint64_t id : {1, 2, 3}) ASSERT_EQ(link_->submit(Urb{id, kUrbTypeInterrupt, kInterruptIn, 64, ""}), 0);
  std::vector<uint16_t> codes;
  Completion done;
  int error = 0;
  while (link_->reap(&done, &error)) codes.push_back(code(done));
  EXPECT_EQ(codes, (std::vector<uint16_t>{ptp::kStoreRemoved, ptp::kAppleLibraryReady, ptp::kStoreAdded}));
}

TEST(UsbDescriptorsTest, FourConfigurationsAndTheCameraBehindUsbmux) {
  const std::string d = phoneDescriptors();
  int configurations = 0;
  for (size_t at = 0; at < d.size(); at += static_cast<unsigned char>(d[at])) {
    ASSERT_GT(static_cast<unsigned char>(d[at]), 0);
    configurations += d[at + 1] == 2;
  }
  EXPECT_EQ(configurations, 4);
  EXPECT_EQ(d[17], 4);  // bNumConfigurations
  EXPECT_EQ(interfaceClass(kUsbmuxConfiguration, 0), 255);
  EXPECT_EQ(interfaceClass(kUsbmuxConfiguration, 1), 6);
  EXPECT_EQ(interfaceClass(kUsbmuxConfiguration, 3), -1);
  EXPECT_EQ(interfaceClass(kPtpOnlyConfiguration, 0), 6);
}

}  // namespace
}  // namespace emulated_phone::usb
