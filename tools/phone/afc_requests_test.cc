#include "afc_requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "afc_packet.h"

namespace phone {
namespace {

std::string Le64(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

std::string Answer(uint64_t packet, uint64_t operation, const std::string& data) {
  return "CFA6LPAA" + Le64(40 + data.size()) + Le64(40) + Le64(packet) + Le64(operation) + data;
}

// Hands out the phone's bytes as they were scripted; the connection ends
// where they end.
class ScriptedStream : public AfcStream {
 public:
  ScriptedStream(std::string answers, std::string* sent) : answers_(std::move(answers)), sent_(sent) {}
  bool send(const char* data, size_t size) override {
    sent_->append(data, size);
    return true;
  }
  bool receive(char* data, size_t size) override {
    if (answers_.size() - at_ < size) return false;
    std::memcpy(data, answers_.data() + at_, size);
    at_ += size;
    return true;
  }

 private:
  std::string answers_;
  size_t at_ = 0;
  std::string* sent_;
};

struct Phone {
  explicit Phone(std::string answers)
      : requests(std::make_unique<ScriptedStream>(std::move(answers), &sent)) {}
  std::string sent;
  AfcRequests requests;
};

// Whatever is wrong with an answer, none of it is used, the connection is
// lost, and nothing more is sent.
TEST(AfcRequestsTest, AnAnswerThatIsNotWholeOrNotTheOneAskedForLosesTheConnection) {
  const std::string listing = Answer(1, afc::kData, std::string(".\0..\0a.JPG\0", 11));
  struct Row {
    const char* what;
    std::string answer;
    bool read = false;  // a file read of 4 bytes instead of a folder read
  };
  const Row rows[] = {
      {"nothing", ""},
      {"cut in the header", listing.substr(0, 5)},
      {"cut after the header", listing.substr(0, 40)},
      {"cut in the data", listing.substr(0, listing.size() - 1)},
      {"last name without its end", Answer(1, afc::kData, std::string(".\0..\0a.J", 8))},
      {"out of step", Answer(0, afc::kData, std::string(".\0", 2))},
      {"another request's answer", Answer(1, afc::kFileOpenResult, Le64(3))},
      {"status without a number", Answer(1, afc::kStatus, "")},
      {"status past any int", Answer(1, afc::kStatus, Le64(1ull << 32))},
      {"more data than asked for", Answer(1, afc::kData, "12345"), true},
      {"a status in place of data, cut", Answer(1, afc::kStatus, Le64(4)).substr(0, 44), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Phone phone(row.answer);
    std::vector<std::string> names = {"stale"};
    char buffer[4];
    uint32_t count = 9;
    const int status = row.read ? phone.requests.readFile(1, buffer, sizeof buffer, &count)
                                : phone.requests.readFolder("/DCIM", &names);
    EXPECT_EQ(status, AfcRequests::kLost);
    EXPECT_EQ(names, row.read ? std::vector<std::string>{"stale"} : std::vector<std::string>{});
    EXPECT_EQ(count, row.read ? 0u : 9u);
    EXPECT_EQ(phone.requests.lost(), AfcRequests::kLost);
    const size_t sent = phone.sent.size();
    EXPECT_EQ(phone.requests.closeFile(1), AfcRequests::kLost);
    EXPECT_EQ(phone.sent.size(), sent);  // nothing more was asked
  }

  // An open that succeeds without a handle opened nothing.
  Phone phone(Answer(1, afc::kStatus, Le64(0)));
  uint64_t handle = 0;
  EXPECT_EQ(phone.requests.openFile("/a", &handle), AfcRequests::kLost);
}

}  // namespace
}  // namespace phone
