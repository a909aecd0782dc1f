// Quenby /path/to/media
//   Prints "<source>: yyyy-MM-dd HH:mm:ss" (UTC) and exits 0 when the file's
//   capture date is found; exits 1 silently when not (or when that line could
//   not be written); 64 on a bad command line.
#include <cstdio>
#include <cstdlib>

#include "box_video_metadata.h"
#include "exiv2_image_properties.h"
#include "icu_date_text.h"
#include "quenby.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs(quenby::usageText.data(), stderr);
    std::exit(quenby::kStatusUsage);
  }
  media::Exiv2ImagePropertyReader images;
  media::BoxVideoMetadataReader videos;
  media::IcuDateText dates;
  quenby::Platform platform{images, videos, dates};
  const quenby::Outcome outcome = quenby::run({argv[0], argv[1]}, platform);
  std::fputs(outcome.out.c_str(), stdout);
  std::fputs(outcome.err.c_str(), stderr);
  // A date counts as found only when its line reached standard output: on a
  // full disk or a closed stream the caller has no date, and learns it.
  int status = outcome.status;
  if (status == quenby::kStatusFound && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
    status = quenby::kStatusNotFound;
  }
  std::exit(status);
}
