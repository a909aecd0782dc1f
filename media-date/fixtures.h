// Builders for small media files shaped like the ones phones and cameras
// write: Exif TIFF blocks, JPEG, PNG, TIFF, DNG, HEIC, and QuickTime/MP4
// movies. Used by the tests and by make-media-samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fixtures {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text);
void append(Bytes& out, const Bytes& more);
void putU16(Bytes& out, std::uint32_t v);  // big-endian
void putU32(Bytes& out, std::uint32_t v);
void putU64(Bytes& out, std::uint64_t v);

// ---- Exif ----

struct ExifDates {
  std::optional<std::string> original;      // Exif DateTimeOriginal
  std::optional<std::string> tiffDateTime;  // IFD0 DateTime
  bool bigEndian = true;
  std::string make = "Apple";
  std::string model = "iPhone 15 Pro";
};

// A TIFF structure (header, IFD0, Exif IFD) as stored in an APP1 segment,
// without the "Exif\0\0" prefix.
Bytes exifTiff(const ExifDates& dates);

Bytes jpeg(const ExifDates& dates);

enum class PngExif { eXIf, rawProfileText, none };
Bytes png(const ExifDates& dates, PngExif mode = PngExif::eXIf);

Bytes tiffImage(const ExifDates& dates);
Bytes dng(const ExifDates& dates);

// ---- ISO-BMFF boxes ----

// A box with a 32-bit size.
Bytes box(std::string_view type, const Bytes& payload);
// A box whose size is given in the 64-bit field (size field 1).
Bytes box64(std::string_view type, const Bytes& payload);
// A box with version and flags before the payload.
Bytes fullBox(std::string_view type, std::uint8_t version, std::uint32_t flags,
              const Bytes& payload);
Bytes concat(std::initializer_list<Bytes> parts);

// The four-character code of QuickTime's "(c)day" user-data item.
extern const std::string kCopyrightDay;

struct HeicOptions {
  int ilocVersion = 0;     // 0, 1 or 2
  int offsetSize = 4;      // 0, 4 or 8
  int lengthSize = 4;      // 0, 4 or 8
  int baseOffsetSize = 0;  // 0, 4 or 8 (offsets relative to the mdat payload)
  bool linkExifToPrimary = true;  // cdsc reference from the Exif item
  bool splitExif = false;         // Exif item in two extents
  bool largeMdat = false;         // mdat with a 64-bit size
  std::uint32_t exifItemId = 2;
  bool exifPrefix = true;  // "Exif\0\0" before the TIFF header, as iPhones do
  bool ilocFirst = false;   // iloc before the other meta children
  bool exifInIdat = false;  // Exif item inside meta/idat (construction method 1; iloc version 1 or 2)
};
Bytes heic(const ExifDates& dates, const HeicOptions& options = {});

// ---- movies ----

struct MetaItem {
  std::string key;           // mdta key text, or a four-character code for mdir
  std::string value;         // text value
  std::uint32_t dataType = 1;  // 1 = UTF-8
};

// moov/meta as an iPhone writes it: no version/flags, handler mdta, keys, ilst.
Bytes iphoneMeta(const std::vector<MetaItem>& items);
// moov/udta/meta as ffmpeg writes with use_metadata_tags: version/flags,
// handler mdta.
Bytes ffmpegMdtaMeta(const std::vector<MetaItem>& items);
// moov/udta/meta with handler mdir and an iTunes-style ilst.
Bytes itunesMeta(const std::vector<MetaItem>& items);
// A QuickTime user-data text item: 16-bit length, 16-bit language, text.
Bytes udtaText(std::string_view fourcc, std::string_view text);

Bytes mvhd();
Bytes ftyp(std::string_view major, std::initializer_list<std::string_view> compatible);

// Movies shaped like real ones, media data of `mdatBytes` bytes.
Bytes iphoneMov(const std::vector<MetaItem>& items, std::size_t mdatBytes = 64);
Bytes ffmpegMov(std::string_view day, std::size_t mdatBytes = 64);
Bytes ffmpegMp4(std::string_view day, std::string_view brand = "isom",
                std::size_t mdatBytes = 64);

// Apple's metadata key for the creation date.
extern const std::string kCreationDateKey;

}  // namespace fixtures
