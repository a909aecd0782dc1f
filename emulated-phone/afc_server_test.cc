#include "afc_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <thread>

#include "byte_order.h"
#include "fd_stream.h"
#include "unique_fd.h"

namespace emulated_phone {
namespace {

// A scripted folder tree: files by path, folders by path, and files whose
// reads fail.
class FakeFileSystem : public FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::set<std::string> folders = {"/"};
  std::set<std::string> failing_reads;
  std::map<std::string, std::string> links;  // folder links: path -> target

  FsStatus facts(const std::string& path, FileFacts* out) override {
    if (auto link = links.find(path); link != links.end()) {
      out->is_link = true;
      out->link_target = link->second;
      out->is_folder = true;
      return FsStatus::kOk;
    }
    if (folders.count(path)) {
      out->is_folder = true;
      return FsStatus::kOk;
    }
    auto it = files.find(path);
    if (it == files.end()) return FsStatus::kNotFound;
    out->is_folder = false;
    out->size = it->second.size();
    return FsStatus::kOk;
  }
  FsStatus list(const std::string& path, std::vector<std::string>* names) override {
    if (files.count(path)) return FsStatus::kNotFolder;
    if (!folders.count(path)) return FsStatus::kNotFound;
    names->clear();
    std::string prefix = path == "/" ? "/" : path + "/";
    for (const auto& [p, content] : files)
      if (p.starts_with(prefix) && p.find('/', prefix.size()) == std::string::npos)
        names->push_back(p.substr(prefix.size()));
    return FsStatus::kOk;
  }
  FsStatus open(const std::string& path, std::unique_ptr<OpenFile>* out) override {
    if (folders.count(path)) return FsStatus::kIsFolder;
    auto it = files.find(path);
    if (it == files.end()) return FsStatus::kNotFound;
    *out = std::make_unique<File>(it->second, failing_reads.count(path) > 0);
    return FsStatus::kOk;
  }

 private:
  struct File : OpenFile {
    File(std::string c, bool f) : content(std::move(c)), fail(f) {}
    int64_t readAt(void* data, size_t size, uint64_t offset) override {
      if (fail) return -1;
      if (offset >= content.size()) return 0;
      size_t n = std::min<size_t>(size, content.size() - offset);
      std::memcpy(data, content.data() + offset, n);
      return static_cast<int64_t>(n);
    }
    uint64_t size() const override { return content.size(); }
    std::string content;
    bool fail;
  };
};

struct Answer {
  uint64_t packet = 0;
  uint64_t operation = 0;
  std::string data;
  uint64_t status() const {
    return data.size() >= 8 ? loadLe64(reinterpret_cast<const unsigned char*>(data.data())) : ~0ull;
  }
};

std::string le64(uint64_t v) {
  unsigned char b[8];
  storeLe64(b, v);
  return std::string(reinterpret_cast<char*>(b), 8);
}

// Runs an AfcServer on one end of a socket pair and speaks AFC on the other.
class AfcServerTest : public ::testing::Test {
 protected:
  void start() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client_.reset(fds[0]);
    server_fd_.reset(fds[1]);
    server_ = std::thread([this] {
      FdStream stream(server_fd_.get());
      AfcServer server(stream, fs_, faults_, stop_);
      end_ = server.run();
      ::shutdown(server_fd_.get(), SHUT_RDWR);
    });
  }
  void TearDown() override {
    stop_.raise();
    if (client_.valid()) ::shutdown(client_.get(), SHUT_RDWR);
    if (server_.joinable()) server_.join();
  }
  AfcServer::End finish() {
    ::shutdown(client_.get(), SHUT_WR);
    server_.join();
    return end_;
  }
  void sendRaw(uint64_t entire, uint64_t this_length, uint64_t packet, uint64_t op,
               const std::string& data, const char* magic = "CFA6LPAA") {
    unsigned char h[40];
    std::memcpy(h, magic, 8);
    storeLe64(h + 8, entire);
    storeLe64(h + 16, this_length);
    storeLe64(h + 24, packet);
    storeLe64(h + 32, op);
    FdStream s(client_.get());
    ASSERT_TRUE(s.writeAll({{h, 40}, {data.data(), data.size()}}));
  }
  void send(uint64_t op, const std::string& data) {
    ++packet_;
    sendRaw(40 + data.size(), 40 + data.size(), packet_, op, data);
  }
  bool receive(Answer* a) {
    FdStream s(client_.get());
    unsigned char h[40];
    if (!s.readFull(h, 40)) return false;
    EXPECT_EQ(std::memcmp(h, "CFA6LPAA", 8), 0);
    uint64_t entire = loadLe64(h + 8);
    EXPECT_GE(entire, 40u);
    a->packet = loadLe64(h + 24);
    a->operation = loadLe64(h + 32);
    a->data.resize(entire - 40);
    return a->data.empty() || s.readFull(a->data.data(), a->data.size());
  }
  Answer request(uint64_t op, const std::string& data) {
    send(op, data);
    Answer a;
    EXPECT_TRUE(receive(&a));
    EXPECT_EQ(a.packet, packet_);
    return a;
  }
  uint64_t open(const std::string& path, uint64_t mode = 1) {
    Answer a = request(afc::kFileOpen, le64(mode) + path + std::string(1, '\0'));
    return a.operation == afc::kFileOpenResult ? a.status() : 0;
  }
  Answer read(uint64_t handle, uint64_t length) {
    return request(afc::kFileRead, le64(handle) + le64(length));
  }

  FakeFileSystem fs_;
  Faults faults_;
  StopSignal stop_;
  UniqueFd client_, server_fd_;
  std::thread server_;
  AfcServer::End end_ = AfcServer::End::kStopped;
  uint64_t packet_ = 41;
};

TEST_F(AfcServerTest, ListsFoldersWithDotsAndAnswersStatusForOthers) {
  fs_.folders.insert("/DCIM");
  fs_.files["/DCIM/A.JPG"] = "a";
  fs_.files["/DCIM/B.JPG"] = "b";
  start();
  Answer a = request(afc::kReadDir, std::string("/DCIM\0", 6));
  EXPECT_EQ(a.operation, afc::kData);
  EXPECT_EQ(a.data, std::string(".\0..\0A.JPG\0B.JPG\0", 17));
  a = request(afc::kReadDir, std::string("/DCIM/A.JPG\0", 12));
  EXPECT_EQ(a.operation, afc::kStatus);
  EXPECT_EQ(a.status(), afc::kReadError);
  a = request(afc::kReadDir, std::string("/none\0", 6));
  EXPECT_EQ(a.status(), afc::kNotFound);
  // A path without its terminating NUL is still one path.
  a = request(afc::kReadDir, "/DCIM");
  EXPECT_EQ(a.operation, afc::kData);
  EXPECT_EQ(finish(), AfcServer::End::kPeerClosed);
}

TEST_F(AfcServerTest, ReadsInChunksThenEmptyDataAtTheEnd) {
  fs_.files["/f"] = std::string(100, 'x') + "END";
  start();
  uint64_t h = open("/f");
  ASSERT_NE(h, 0u);  // clients treat handle 0 as invalid
  Answer a = read(h, 100);
  EXPECT_EQ(a.operation, afc::kData);
  EXPECT_EQ(a.data.size(), 100u);
  a = read(h, 100);
  EXPECT_EQ(a.data, "END");
  a = read(h, 100);
  EXPECT_EQ(a.operation, afc::kData);
  EXPECT_EQ(a.data, "");
  EXPECT_EQ(request(afc::kFileClose, le64(h)).status(), afc::kSuccess);
  // A closed or unknown handle is an invalid argument, not a crash.
  EXPECT_EQ(request(afc::kFileClose, le64(h)).status(), afc::kInvalidArg);
  EXPECT_EQ(read(h, 10).status(), afc::kInvalidArg);
  EXPECT_EQ(read(12345, 10).status(), afc::kInvalidArg);
}

TEST_F(AfcServerTest, OpenRefusesWritesFoldersAndMissingFiles) {
  fs_.folders.insert("/DCIM");
  fs_.files["/f"] = "x";
  start();
  EXPECT_EQ(request(afc::kFileOpen, le64(3) + "/f").status(), afc::kPermissionDenied);
  EXPECT_EQ(request(afc::kFileOpen, le64(1) + "/DCIM").status(), afc::kIsFolder);
  EXPECT_EQ(request(afc::kFileOpen, le64(1) + "/g").status(), afc::kNotFound);
  EXPECT_EQ(request(afc::kFileOpen, "short").status(), afc::kInvalidArg);
}

TEST_F(AfcServerTest, HugeReadsAreCappedAndFailingReadsAnswerReadError) {
  fs_.files["/big"] = std::string(afc::kMaxReadAnswer + 10, 'b');
  fs_.files["/bad"] = "unreadable";
  fs_.failing_reads.insert("/bad");
  start();
  uint64_t h = open("/big");
  Answer a = read(h, ~0ull);
  EXPECT_EQ(a.data.size(), afc::kMaxReadAnswer);
  EXPECT_EQ(read(h, ~0ull).data.size(), 10u);
  EXPECT_EQ(read(open("/bad"), 10).status(), afc::kReadError);
}

TEST_F(AfcServerTest, SeekAndTell) {
  fs_.files["/f"] = "0123456789";
  start();
  uint64_t h = open("/f");
  EXPECT_EQ(request(afc::kFileSeek, le64(h) + le64(0) + le64(6)).status(), afc::kSuccess);
  EXPECT_EQ(read(h, 2).data, "67");
  Answer tell = request(afc::kFileTell, le64(h));
  EXPECT_EQ(tell.operation, afc::kFileTellResult);
  EXPECT_EQ(tell.status(), 8u);
  EXPECT_EQ(request(afc::kFileSeek, le64(h) + le64(2) + le64(-3)).status(), afc::kSuccess);
  EXPECT_EQ(read(h, 5).data, "789");
  // Before the start, or an unknown origin: refused, position unchanged.
  EXPECT_EQ(request(afc::kFileSeek, le64(h) + le64(0) + le64(-1)).status(), afc::kInvalidArg);
  EXPECT_EQ(request(afc::kFileSeek, le64(h) + le64(7) + le64(0)).status(), afc::kInvalidArg);
  EXPECT_EQ(request(afc::kFileSeek, le64(h) + le64(1) + le64(INT64_MAX)).status(),
            afc::kInvalidArg);
  EXPECT_EQ(request(afc::kFileTell, le64(h)).status(), 10u);
}

TEST_F(AfcServerTest, FileInfoAndDeviceInfoAreKeyValueLists) {
  fs_.files["/f"] = "12345";
  start();
  Answer a = request(afc::kGetFileInfo, "/f");
  EXPECT_EQ(a.data.substr(0, 10), std::string("st_size\0" "5\0", 10));
  EXPECT_NE(a.data.find(std::string("st_ifmt\0S_IFREG\0", 16)), std::string::npos);
  EXPECT_EQ(request(afc::kGetFileInfo, "/none").status(), afc::kNotFound);
  a = request(afc::kGetDevInfo, "");
  EXPECT_EQ(a.data.substr(0, 6), std::string("Model\0", 6));
  EXPECT_EQ(request(99, "").status(), afc::kNotSupported);
}

TEST_F(AfcServerTest, WritePayloadIsConsumedSoTheStreamStaysInStep) {
  fs_.folders.insert("/DCIM");
  start();
  std::string payload(5000, 'p');
  ++packet_;
  sendRaw(40 + 8 + payload.size(), 48, packet_, 16 /* FILE_WRITE */, le64(1));
  FdStream(client_.get()).writeAll({{payload.data(), payload.size()}});
  Answer a;
  ASSERT_TRUE(receive(&a));
  EXPECT_EQ(a.status(), afc::kNotSupported);
  EXPECT_EQ(request(afc::kReadDir, "/DCIM").operation, afc::kData);
}

TEST_F(AfcServerTest, MalformedHeadersEndTheConnection) {
  start();
  sendRaw(48, 48, 1, afc::kReadDir, "/DCIM\0\0\0", "XXXXXXXX");
  EXPECT_EQ(finish(), AfcServer::End::kPeerClosed);
}

TEST_F(AfcServerTest, ThisLengthBelowHeaderEndsTheConnection) {
  start();
  sendRaw(40, 8, 1, afc::kReadDir, "");
  EXPECT_EQ(finish(), AfcServer::End::kPeerClosed);
}

TEST_F(AfcServerTest, OversizedRequestIsRefusedWithoutAllocating) {
  start();
  sendRaw(1ull << 62, 1ull << 61, 1, afc::kReadDir, "");
  EXPECT_EQ(finish(), AfcServer::End::kPeerClosed);
}

TEST_F(AfcServerTest, TooManyOpenFiles) {
  fs_.files["/f"] = "x";
  start();
  for (int i = 0; i < 1024; ++i) ASSERT_NE(open("/f"), 0u) << i;
  EXPECT_EQ(request(afc::kFileOpen, le64(1) + "/f").status(), afc::kNoResources);
}

// --- faults ---

TEST_F(AfcServerTest, ReadErrorStopsShortThenFailsEveryTime) {
  fs_.files["/DCIM/f"] = "0123456789";
  faults_.read_error_at["/DCIM//f"] = 4;  // matched after normalization
  start();
  uint64_t h = open("/DCIM/./f");
  EXPECT_EQ(read(h, 100).data, "0123");
  EXPECT_EQ(read(h, 100).status(), afc::kReadError);
  EXPECT_EQ(read(h, 100).status(), afc::kReadError);
  // Seeking back before the offset reads again.
  request(afc::kFileSeek, le64(h) + le64(0) + le64(2));
  EXPECT_EQ(read(h, 100).data, "23");
}

TEST_F(AfcServerTest, DropStopsShortThenEndsTheServer) {
  fs_.files["/f"] = "0123456789";
  faults_.drop_at["/f"] = 3;
  start();
  uint64_t f = open("/f");
  EXPECT_EQ(read(f, 100).data, "012");
  send(afc::kFileRead, le64(f) + le64(100));
  EXPECT_EQ(finish(), AfcServer::End::kDropped);
}

TEST_F(AfcServerTest, StallAtZero) {
  fs_.files["/g"] = "0123456789";
  faults_.stall_at["/g"] = 0;
  start();
  send(afc::kFileRead, le64(open("/g")) + le64(100));
  EXPECT_EQ(finish(), AfcServer::End::kStalled);
}

TEST_F(AfcServerTest, ReaddirStatusWinsOverTheRealListing) {
  fs_.folders.insert("/DCIM");
  faults_.readdir_status["/DCIM/"] = 10;
  start();
  EXPECT_EQ(request(afc::kReadDir, "/DCIM").status(), 10u);
  EXPECT_EQ(request(afc::kReadDir, "/").operation, afc::kData);
}

TEST_F(AfcServerTest, HostileNamesAtTheRoot) {
  fs_.files["/x"] = "reachable through ../x";
  faults_.hostile_names.insert("/");
  start();
  Answer a = request(afc::kReadDir, "/");
  std::string expected(".\0..\0x\0", 7);
  for (const std::string& name : hostileNames()) expected += name + std::string(1, '\0');
  EXPECT_EQ(a.data, expected);
  EXPECT_EQ(request(afc::kFileOpen, le64(1) + "/../x").status(), afc::kNotFound);
  EXPECT_EQ(request(afc::kGetFileInfo, "/a/b").status(), afc::kNotFound);
  EXPECT_EQ(request(afc::kReadDir, "/").operation, afc::kData);
  EXPECT_EQ(request(afc::kReadDir, "//").operation, afc::kData);
  // The plain path still opens.
  EXPECT_NE(open("/x"), 0u);
}

TEST_F(AfcServerTest, ALinkIsDescribedAsALink) {
  fs_.links["/DCIM/up"] = "..";
  start();
  Answer a = request(afc::kGetFileInfo, "/DCIM/up");
  EXPECT_EQ(a.data.substr(0, 10), std::string("st_size\0" "2\0", 10));
  EXPECT_NE(a.data.find(std::string("st_ifmt\0S_IFLNK\0", 16)), std::string::npos);
  EXPECT_NE(a.data.find(std::string("st_linktarget\0..\0", 17)), std::string::npos);
}

// A listing's answer goes out only up to a byte of the header or the data,
// then the connection closes, or the phone stops sending.
TEST_F(AfcServerTest, ListingCutOrStalledAtAByte) {
  fs_.folders.insert("/DCIM");
  fs_.files["/DCIM/A.JPG"] = "a";
  const std::string whole = std::string("CFA6LPAA") + le64(40 + 11) + le64(40) + le64(42) +
                            le64(afc::kData) + std::string(".\0..\0A.JPG\0", 11);
  for (uint64_t at : {0, 5, 40, 45, 51, 1000}) {
    for (bool stall : {false, true}) {
      SCOPED_TRACE(std::to_string(at) + (stall ? " stall" : " cut"));
      faults_ = Faults();
      (stall ? faults_.stall_listing_at : faults_.cut_listing_at)["/DCIM"] = at;
      packet_ = 41;
      start();
      send(afc::kReadDir, "/DCIM");
      EXPECT_EQ(finish(), stall ? AfcServer::End::kStalled : AfcServer::End::kDropped);
      std::string received(100, '\0');
      received.resize(static_cast<size_t>(std::max<ssize_t>(
          0, ::recv(client_.get(), received.data(), received.size(), MSG_WAITALL))));
      EXPECT_EQ(received, whole.substr(0, at));
      client_.reset();
      server_fd_.reset();
    }
  }
}

TEST_F(AfcServerTest, OutOfStepAnswerCarriesTheNumberBefore) {
  fs_.folders.insert("/DCIM");
  faults_.out_of_step.insert("/DCIM/");
  start();
  send(afc::kReadDir, "/DCIM");
  Answer a;
  ASSERT_TRUE(receive(&a));
  EXPECT_EQ(a.packet, packet_ - 1);
  EXPECT_EQ(a.data, std::string(".\0..\0", 5));
  EXPECT_EQ(request(afc::kReadDir, "/").operation, afc::kData);
}

TEST_F(AfcServerTest, LatencyWaitEndsWhenStopping) {
  faults_.latency_ms = 600000;
  start();
  send(afc::kGetDevInfo, "");
  stop_.raise();
  server_.join();
  EXPECT_EQ(end_, AfcServer::End::kStopped);
}

}  // namespace
}  // namespace emulated_phone
