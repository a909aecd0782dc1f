// Runs the Quenby binary on files made by the fixture builder, under several
// time zones, and checks its exact output, streams and status.
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixtures.h"

namespace {

using fixtures::Bytes;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class QuenbyE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quenby-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& name, const Bytes& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
    return path;
  }

  enum class Stdout { file, full, closed };

  Result run(const std::vector<std::string>& args, const char* tz = "UTC", Stdout where = Stdout::file) {
    const std::string outPath = dir_ + "/.stdout", errPath = dir_ + "/.stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = where == Stdout::full ? open("/dev/full", O_WRONLY)
                                            : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
      if (where == Stdout::closed) close(1);
      setenv("TZ", tz, 1);
      std::vector<char*> argv;
      std::string bin = QUENBY_BIN;
      argv.push_back(bin.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
  }

  void expectLine(const std::string& path, const char* tz, const std::string& line) {
    const Result r = run({path}, tz);
    EXPECT_EQ(r.status, 0) << path << " " << tz;
    EXPECT_EQ(r.out, line + "\n") << path << " " << tz;
    EXPECT_EQ(r.err, "") << path << " " << tz;
  }

  void expectSilentFailure(const std::string& path) {
    for (const char* tz : {"UTC", "America/New_York"}) {
      const Result r = run({path}, tz);
      EXPECT_EQ(r.status, 1) << path;
      EXPECT_EQ(r.out, "") << path;
      EXPECT_EQ(r.err, "") << path;
    }
  }

  std::string dir_;
};

const fixtures::ExifDates kNoon{"2023:05:01 12:00:00", "2023:05:01 12:00:05"};
const std::string kCreation = "com.apple.quicktime.creationdate";

TEST_F(QuenbyE2eTest, UsageOnWrongArgumentCount) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a.jpg", "b.jpg"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Usage: Quenby /path/to/media\n");
  }
}

TEST_F(QuenbyE2eTest, StillImagesUnderThreeZones) {
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"IMG_0001.JPG", fixtures::jpeg(kNoon)},         {"IMG_0002.HEIC", fixtures::heic(kNoon)},
      {"IMG_0003.PNG", fixtures::png(kNoon)},          {"IMG_0004.DNG", fixtures::dng(kNoon)},
      {"IMG_0005.tif", fixtures::tiffImage(kNoon)},   {"IMG_0006.jpeg", fixtures::jpeg(kNoon)},
      {"IMG_0007.tiff", fixtures::tiffImage(kNoon)},  {"IMG_0008.heif", fixtures::heic(kNoon)},
  };
  for (const auto& [name, data] : files) {
    const std::string path = write(name, data);
    expectLine(path, "UTC", "image_exif_original: 2023-05-01 12:00:00");
    expectLine(path, "Europe/Moscow", "image_exif_original: 2023-05-01 09:00:00");
    expectLine(path, "America/New_York", "image_exif_original: 2023-05-01 16:00:00");
  }
}

TEST_F(QuenbyE2eTest, DateThatCannotBeWrittenIsNoDate) {
  const std::string path = write("IMG_0001.JPG", fixtures::jpeg(kNoon));
  for (Stdout where : {Stdout::full, Stdout::closed}) {
    const Result r = run({path}, "UTC", where);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(QuenbyE2eTest, TiffDateWhenExifDateIsBlank) {
  const std::string path = write("IMG_0009.JPG", fixtures::jpeg({"    :  :     :  :  ", "2022:12:24 18:30:00"}));
  expectLine(path, "UTC", "image_tiff_datetime: 2022-12-24 18:30:00");
  expectLine(path, "Europe/Moscow", "image_tiff_datetime: 2022-12-24 15:30:00");
}

TEST_F(QuenbyE2eTest, MoviesInPhoneAndFfmpegLayouts) {
  const std::string iphone = write("IMG_0010.MOV", fixtures::iphoneMov({{"com.apple.quicktime.make", "Apple"},
                                                                        {kCreation, "2023-06-10T18:30:00+0200"}}));
  const std::string ffmov = write("clip.mov", fixtures::ffmpegMov("2023-06-10T18:30:00.250+0200"));
  const std::string mp4 = write("clip.mp4", fixtures::ffmpegMp4("2023-06-10 18:30:00"));
  const std::string m4v = write("clip.M4V", fixtures::ffmpegMp4("2023-06-10 18:30:00", "M4V "));
  for (const char* tz : {"UTC", "Europe/Moscow", "America/New_York"}) {
    expectLine(iphone, tz, "video_metadata: 2023-06-10 16:30:00");
    expectLine(ffmov, tz, "video_metadata: 2023-06-10 16:30:00");
  }
  expectLine(mp4, "UTC", "video_metadata: 2023-06-10 18:30:00");
  expectLine(mp4, "Europe/Moscow", "video_metadata: 2023-06-10 15:30:00");
  expectLine(m4v, "America/New_York", "video_metadata: 2023-06-10 22:30:00");
}

TEST_F(QuenbyE2eTest, ExtensionDecidesImageOrVideoAndIsTestedFirst) {
  // A movie named as a photo is read as a photo (and has none), and the reverse.
  expectSilentFailure(write("movie.jpg", fixtures::iphoneMov({{kCreation, "2023-06-10T18:30:00+0200"}})));
  expectSilentFailure(write("photo.mov", fixtures::jpeg(kNoon)));
  expectSilentFailure(write("photo.gif", fixtures::jpeg(kNoon)));
  expectSilentFailure(write("photo", fixtures::jpeg(kNoon)));
  // A FIFO is never opened when its name is not media, and never hangs when it is.
  for (const char* name : {"pipe.txt", "pipe.jpg", "pipe.mov"}) {
    const std::string fifo = dir_ + "/" + name;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    expectSilentFailure(fifo);
  }
  expectSilentFailure(dir_ + "/missing.MOV");
  expectSilentFailure(dir_ + "/missing.heic");
}

TEST_F(QuenbyE2eTest, BrokenMoviesFailSilently) {
  const Bytes good = fixtures::iphoneMov({{kCreation, "2023-06-10T18:30:00+0200"}});
  using fixtures::box;
  using fixtures::concat;
  Bytes hugeKeys;  // keys count far larger than the box
  fixtures::putU32(hugeKeys, 0x7FFFFFFF);
  Bytes ilstNoKey;
  fixtures::putU32(ilstNoKey, 24 + 8);
  fixtures::putU32(ilstNoKey, 5);
  fixtures::append(ilstNoKey, box("data", concat({{0, 0, 0, 1, 0, 0, 0, 0}, fixtures::bytesOf("2023-06-10 18:30:00")})));
  Bytes deep = fixtures::iphoneMeta({{kCreation, "2023-06-10 18:30:00"}});
  for (int i = 0; i < 2000; ++i) deep = box("udta", deep);
  Bytes zeroSizedMoov = {0, 0, 0, 0, 'm', 'o', 'o', 'v'};
  Bytes largeMoovSize = {0, 0, 0, 1, 'm', 'o', 'o', 'v', 0xFF, 0, 0, 0, 0, 0, 0, 0};
  fixtures::append(largeMoovSize, fixtures::iphoneMeta({{kCreation, "2023-06-10 18:30:00"}}));

  const std::vector<Bytes> broken = {
      Bytes(good.begin(), good.end() - 1),
      Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)),
      concat({fixtures::ftyp("qt  ", {}), box("mdat", Bytes(8, 0)), {0x40, 0, 0, 0, 'm', 'o', 'o', 'v'}}),
      concat({fixtures::ftyp("qt  ", {}), zeroSizedMoov}),
      concat({fixtures::ftyp("qt  ", {}), largeMoovSize}),
      box("moov", box("meta", concat({fixtures::fullBox("keys", 0, 0, hugeKeys)}))),
      box("moov", box("meta", box("ilst", ilstNoKey))),
      box("moov", deep),
      {},
  };
  for (std::size_t i = 0; i < broken.size(); ++i) {
    SCOPED_TRACE(i);
    expectSilentFailure(write("broken" + std::to_string(i) + ".mov", broken[i]));
  }
}

TEST_F(QuenbyE2eTest, MovieBoxAfterFourGigabytesOfMediaData) {
  // A sparse file: a 64-bit mdat of 4 GiB + 1 byte, then the movie box.
  const std::uint64_t media = (std::uint64_t{4} << 30) + 1;
  Bytes head = fixtures::concat({fixtures::ftyp("qt  ", {"qt  "}), fixtures::box("wide", {})});
  fixtures::putU32(head, 1);
  fixtures::append(head, fixtures::bytesOf("mdat"));
  fixtures::putU64(head, media + 16);
  const Bytes moov = fixtures::box("moov", fixtures::iphoneMeta({{kCreation, "2023-06-10T18:30:00+0200"}}));
  const std::string path = dir_ + "/IMG_0011.MOV";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(head.size() + media));
    out.write(reinterpret_cast<const char*>(moov.data()), static_cast<std::streamsize>(moov.size()));
    if (!out) GTEST_SKIP() << "no room for a sparse 4 GiB file here";
  }
  expectLine(path, "UTC", "video_metadata: 2023-06-10 16:30:00");
}

TEST_F(QuenbyE2eTest, BrokenImagesFailSilently) {
  const Bytes jpeg = fixtures::jpeg(kNoon);
  const Bytes heic = fixtures::heic(kNoon);
  expectSilentFailure(write("cut.jpg", Bytes(jpeg.begin(), jpeg.begin() + 30)));
  expectSilentFailure(write("cut.heic", Bytes(heic.begin(), heic.end() - 20)));
  expectSilentFailure(write("empty.png", {}));
  expectSilentFailure(write("text.tif", fixtures::bytesOf("II*\0 this is not really a tiff")));
}

}  // namespace
