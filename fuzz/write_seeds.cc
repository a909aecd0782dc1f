// Writes a seed corpus for the fuzzer: phone-shaped HEIC, JPEG and movie files.
#include <fstream>
#include <string>

#include "fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  const std::string dir = argv[1];
  const fixtures::ExifDates dates{"2023:05:01 12:00:00", "2023:05:01 12:00:00"};
  int n = 0;
  auto write = [&](const fixtures::Bytes& data) {
    std::ofstream(dir + "/seed" + std::to_string(n++), std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  };
  for (int version : {0, 1, 2}) {
    fixtures::HeicOptions o;
    o.ilocVersion = version;
    o.offsetSize = version == 2 ? 8 : 4;
    o.baseOffsetSize = version == 1 ? 4 : 0;
    o.splitExif = version == 1;
    o.largeMdat = version == 2;
    write(fixtures::heic(dates, o));
  }
  write(fixtures::jpeg(dates));
  write(fixtures::iphoneMov({{"com.apple.quicktime.make", "Apple"},
                             {"com.apple.quicktime.creationdate", "2023-07-14T08:20:00+0200"}}, 16));
  write(fixtures::ffmpegMov("2019-11-02T10:00:00.500-0700", 16));
  write(fixtures::ffmpegMp4("2023-03-26T01:30:00Z", "isom", 16));
  using fixtures::box;
  write(fixtures::concat({fixtures::ftyp("qt  ", {}),
                          box("moov", box("udta", fixtures::ffmpegMdtaMeta({{"com.apple.quicktime.creationdate", "x"}})))}));
  return 0;
}
