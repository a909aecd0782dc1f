// Video metadata items read from QuickTime / MP4 boxes:
//  - QuickTime metadata: a `meta` box with handler `mdta`, a `keys` box and an
//    `ilst` whose children are 1-based indexes into the keys (iPhones put it
//    at moov/meta without version/flags, ffmpeg at moov/udta/meta with them);
//  - QuickTime user data: moov/udta/(c)xxx text items;
//  - iTunes-style items: moov/udta/meta with handler `mdir`.
// Only box headers and the metadata boxes are read; media data is skipped.
#pragma once

#include "byte_source.h"
#include "media_types.h"
#include "platform.h"

namespace media {

inline const std::string kQuickTimeCreationDateKey = "com.apple.quicktime.creationdate";

// Largest text value read; larger values count as having no text.
inline constexpr std::uint64_t kMaxValueBytes = 64u << 10;
// Largest `keys` box read.
inline constexpr std::uint64_t kMaxKeysBytes = 256u << 10;
// Most items kept from one file.
inline constexpr std::size_t kMaxItems = 4096;

VideoMetadata readBoxMetadata(ByteSource& source);

class BoxVideoMetadataReader final : public VideoMetadataReader {
 public:
  VideoMetadata readMetadata(const std::string& path) override;
};

}  // namespace media
