#include "usb_link.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace emulated_phone::usb {
namespace {

// A served tree of one folder with one file of `size` bytes.
class OneFileFs : public FileSystem {
 public:
  explicit OneFileFs(size_t size) : text_(size, 'x') {}
  FsStatus facts(const std::string& path, FileFacts* out) override {
    out->is_folder = path == "/";
    out->size = text_.size();
    return FsStatus::kOk;
  }
  FsStatus list(const std::string& path, std::vector<std::string>* names) override {
    if (path == "/") names->push_back("IMG_0001.JPG");
    return FsStatus::kOk;
  }
  FsStatus open(const std::string&, std::unique_ptr<OpenFile>* out) override {
    struct Text : OpenFile {
      explicit Text(const std::string& t) : text(t) {}
      const std::string& text;
      int64_t readAt(void* data, size_t size, uint64_t offset) override {
        size_t n = offset >= text.size() ? 0 : std::min(size, text.size() - offset);
        text.copy(static_cast<char*>(data), n, offset);
        return static_cast<int64_t>(n);
      }
      uint64_t size() const override { return text.size(); }
    };
    *out = std::make_unique<Text>(text_);
    return FsStatus::kOk;
  }

 private:
  std::string text_;
};

class UsbLinkTest : public ::testing::Test {
 protected:
  void make(size_t file_size, CableFaults faults = {}) {
    phone_ = std::make_unique<PtpPhone>(std::make_shared<OneFileFs>(file_size), PhoneSetup{});
    link_ = std::make_unique<UsbLink>(*phone_, faults);
  }
  void command(uint16_t code, std::vector<uint32_t> params) {
    std::string payload;
    for (uint32_t p : params)
      for (int i = 0; i < 4; ++i) payload.push_back(static_cast<char>(p >> (8 * i)));
    Urb out{next_++, kUrbTypeBulk, kBulkOut, 0, container(1, code, ++transaction_, payload)};
    out.length = out.out.size();
    ASSERT_EQ(link_->submit(out), 0);
    Completion done;
    int error = 0;
    ASSERT_TRUE(link_->reap(&done, &error));
    EXPECT_EQ(done.actual, out.length);
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
  std::unique_ptr<PtpPhone> phone_;
  std::unique_ptr<UsbLink> link_;
  uint64_t next_ = 1;
  uint32_t transaction_ = 0;
};

TEST_F(UsbLinkTest, TransferOfWholePacketsEndsWithAZeroLengthPacket) {
  make(1024 - 12);  // the data phase is exactly two packets
  command(0x1002, {1});
  ASSERT_EQ(read(512).size(), 1u);  // OpenSession's answer
  command(0x1009, {0x10});
  auto first = read(512);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].actual, 512u);
  EXPECT_EQ(read(512)[0].actual, 512u);
  EXPECT_EQ(read(512)[0].actual, 0u);   // the zero-length packet
  EXPECT_EQ(read(512)[0].actual, 12u);  // then the response
  // A URB larger than the data takes the whole phase: no extra packet.
  command(0x1009, {0x10});
  EXPECT_EQ(read(4096)[0].actual, 1024u);
  EXPECT_EQ(read(512)[0].actual, 12u);
}

TEST_F(UsbLinkTest, StallKeepsTheUrbPendingUntilDiscarded) {
  make(3000, CableFaults{-1, 1000});
  command(0x1002, {1});
  read(512);
  command(0x1009, {0x10});
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
  command(0x1002, {1});
  read(512);
  command(0x1009, {0x10});
  read(512);
  auto rest = read(1024);  // passes byte 1000: the cable is pulled
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].status, -ENODEV);
  EXPECT_EQ(rest[1].status, -ENODEV);
  Completion done;
  int error = 0;
  EXPECT_FALSE(link_->reap(&done, &error));
  EXPECT_EQ(error, ENODEV);
  EXPECT_EQ(link_->submit(Urb{7, kUrbTypeBulk, kBulkIn, 512, ""}), -ENODEV);

  // Plugged in again: the phone's session is closed and the fault is spent.
  link_->plugIn();
  command(0x1002, {1});
  auto opened = read(512);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].data.substr(6, 2), std::string("\x01\x20", 2));  // OK, not SessionAlreadyOpen
  command(0x1009, {0x10});
  auto whole = read(4096);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].status, 0);
  EXPECT_EQ(whole[0].actual, 3012u);
}

TEST_F(UsbLinkTest, EventsWaitForAnInterruptUrb) {
  PhoneSetup setup;
  setup.trusted = false;
  phone_ = std::make_unique<PtpPhone>(std::make_shared<OneFileFs>(1), setup);
  link_ = std::make_unique<UsbLink>(*phone_, CableFaults{});
  link_->queueEvents(phone_->trust());
  EXPECT_FALSE(link_->reapable());
  ASSERT_EQ(link_->submit(Urb{1, kUrbTypeInterrupt, kInterruptIn, 64, ""}), 0);
  ASSERT_EQ(link_->submit(Urb{2, kUrbTypeInterrupt, kInterruptIn, 64, ""}), 0);
  Completion done;
  int error = 0;
  ASSERT_TRUE(link_->reap(&done, &error));
  EXPECT_EQ(done.actual, 16u);
  EXPECT_EQ(done.data[6], '\x05');  // StoreRemoved, then StoreAdded
  ASSERT_TRUE(link_->reap(&done, &error));
  EXPECT_EQ(done.data[6], '\x04');
}

}  // namespace
}  // namespace emulated_phone::usb
