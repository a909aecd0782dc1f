// make-media-samples OUTDIR
//   Writes a few photos and videos shaped like iPhone and camera files, with
//   known capture dates, into OUTDIR (created if missing).
// make-media-samples --sparse-mov BYTES FILE
//   Writes a QuickTime movie whose media data is BYTES long (a sparse file)
//   and whose moov box comes last, as iPhones write them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "fixtures.h"

namespace {

using fixtures::Bytes;

bool writeFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

const std::vector<fixtures::MetaItem> kIphoneItems(const std::string& date) {
  return {{"com.apple.quicktime.make", "Apple"},
          {"com.apple.quicktime.model", "iPhone 15 Pro"},
          {"com.apple.quicktime.software", "17.5.1"},
          {fixtures::kCreationDateKey, date}};
}

int writeSamples(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "make-media-samples: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  fixtures::ExifDates both{"2023:05:01 12:00:00", "2023:05:01 12:00:05"};
  fixtures::ExifDates tiffOnly{std::nullopt, "2022:12:24 18:30:00"};
  tiffOnly.bigEndian = false;
  tiffOnly.make = "NIKON CORPORATION";
  tiffOnly.model = "NIKON D750";
  fixtures::ExifDates dngDates{"2024:02:29 23:59:59", "2024:02:29 23:59:59"};
  dngDates.bigEndian = false;

  const std::vector<std::pair<std::string, Bytes>> samples = {
      {"IMG_0001.JPG", fixtures::jpeg(both)},
      {"IMG_0002.HEIC", fixtures::heic({"2023:07:14 08:15:30", "2023:07:14 08:15:30"})},
      {"IMG_0003.PNG", fixtures::png({"2021:01:01 00:00:00", std::nullopt})},
      {"IMG_0004.MOV", fixtures::iphoneMov(kIphoneItems("2023-07-14T08:20:00+0200"), 4096)},
      {"IMG_0005.MP4", fixtures::ffmpegMp4("2023-03-26T01:30:00Z", "isom", 4096)},
      {"IMG_0006.DNG", fixtures::dng(dngDates)},
      {"IMG_0007.TIF", fixtures::tiffImage(tiffOnly)},
      {"IMG_0008.M4V", fixtures::ffmpegMp4("2020-06-30 21:45:10", "M4V ", 4096)},
      {"IMG_0009.MOV", fixtures::ffmpegMov("2019-11-02T10:00:00.500-0700", 4096)},
      {"IMG_0010.JPEG", fixtures::jpeg({"0000:00:00 00:00:00", "2018:08:08 08:08:08"})},
  };
  for (const auto& [name, data] : samples) {
    const std::string path = dir + "/" + name;
    if (!writeFile(path, data)) {
      std::fprintf(stderr, "make-media-samples: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}

int writeSparseMov(const char* sizeText, const std::string& path) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long mediaBytes = std::strtoull(sizeText, &end, 10);
  if (errno != 0 || end == sizeText || *end != '\0') {
    std::fprintf(stderr, "make-media-samples: bad size %s\n", sizeText);
    return 64;
  }
  using namespace fixtures;
  Bytes head = concat({ftyp("qt  ", {"qt  "}), box("wide", {})});
  putU32(head, 1);
  append(head, bytesOf("mdat"));
  putU64(head, mediaBytes + 16);
  const Bytes moov = box("moov", concat({mvhd(), iphoneMeta(kIphoneItems("2023-07-14T08:20:00+0200"))}));

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  out.seekp(static_cast<std::streamoff>(head.size() + mediaBytes));  // leaves a hole
  out.write(reinterpret_cast<const char*>(moov.data()), static_cast<std::streamsize>(moov.size()));
  if (!out) {
    std::fprintf(stderr, "make-media-samples: cannot write %s\n", path.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2) return writeSamples(argv[1]);
  if (argc == 4 && std::string(argv[1]) == "--sparse-mov") return writeSparseMov(argv[2], argv[3]);
  std::fputs("Usage: make-media-samples OUTDIR\n"
             "       make-media-samples --sparse-mov BYTES FILE\n", stderr);
  return 64;
}
