#include "heic_exif.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "box_reader.h"

namespace media {
namespace {

// Largest `meta` child (iinf, iloc, iref, pitm) read into memory; an iPhone's
// grid image has a few hundred items, far below this.
constexpr std::uint64_t kMaxMetaChildBytes = 1u << 20;

struct Extent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct ItemLocation {
  int constructionMethod = 0;
  std::uint16_t dataReferenceIndex = 0;
  std::uint64_t baseOffset = 0;
  std::vector<Extent> extents;
  bool complete = true;  // false when extents were left out
};

struct MetaContents {
  std::optional<std::uint32_t> primary;
  std::optional<BoxHeader> idat;  // item data kept inside `meta`
  std::vector<std::uint32_t> exifItems;      // iinf order
  std::vector<std::uint32_t> exifOfPrimary;  // Exif items with a cdsc link to the primary
  std::map<std::uint32_t, ItemLocation> locations;  // of Exif items only
};

// Only what concerns Exif items is kept, so a file with a huge item table
// costs no memory.
bool isExifItem(const MetaContents& meta, std::uint32_t id) {
  return std::find(meta.exifItems.begin(), meta.exifItems.end(), id) != meta.exifItems.end();
}

std::optional<Bytes> payloadOf(ByteSource& source, const BoxHeader& box) {
  return readRange(source, box.payloadStart, box.end, kMaxMetaChildBytes);
}

void parsePitm(const Bytes& p, MetaContents& meta) {
  ByteReader r(p);
  const std::uint8_t version = r.u8();
  r.skip(3);
  const std::uint32_t id = version == 0 ? r.u16() : r.u32();
  if (r.ok()) meta.primary = id;
}

void parseIinf(const Bytes& p, MetaContents& meta) {
  ByteReader r(p);
  const std::uint8_t version = r.u8();
  r.skip(3);
  if (version == 0) r.u16(); else r.u32();  // entry count: the boxes tell
  if (!r.ok()) return;
  SpanByteSource children(p);
  forEachBox(children, r.position(), p.size(), [&](const BoxHeader& box) {
    if (box.type != fourcc("infe")) return true;
    const auto infe = readRange(children, box.payloadStart, box.end, kMaxMetaChildBytes);
    if (!infe) return true;
    ByteReader e(*infe);
    const std::uint8_t v = e.u8();
    e.skip(3);
    if (v < 2) return true;  // versions 0 and 1 carry no item type
    const std::uint32_t id = v == 2 ? e.u16() : e.u32();
    e.u16();  // protection index
    const std::uint32_t type = e.u32();
    // Files have one; a few more are looked at, and no more are kept.
    if (e.ok() && type == fourcc("Exif") && meta.exifItems.size() < 16) meta.exifItems.push_back(id);
    return true;
  }, 1u << 16);
}

void parseIref(const Bytes& p, MetaContents& meta) {
  ByteReader r(p);
  const std::uint8_t version = r.u8();
  r.skip(3);
  if (!r.ok()) return;
  const int idBytes = version == 0 ? 2 : 4;
  SpanByteSource children(p);
  forEachBox(children, r.position(), p.size(), [&](const BoxHeader& box) {
    if (box.type != fourcc("cdsc")) return true;
    const auto ref = readRange(children, box.payloadStart, box.end, kMaxMetaChildBytes);
    if (!ref) return true;
    ByteReader e(*ref);
    const auto from = static_cast<std::uint32_t>(e.sized(idBytes));
    const std::uint16_t count = e.u16();
    if (!isExifItem(meta, from)) return true;
    for (std::uint16_t i = 0; i < count && e.ok(); ++i) {
      const auto to = static_cast<std::uint32_t>(e.sized(idBytes));
      if (e.ok() && to == meta.primary) meta.exifOfPrimary.push_back(from);
    }
    return true;
  }, 1u << 16);
}

bool validFieldSize(int size) { return size == 0 || size == 4 || size == 8; }

void parseIloc(const Bytes& p, MetaContents& meta) {
  ByteReader r(p);
  const std::uint8_t version = r.u8();
  r.skip(3);
  if (version > 2) return;
  const std::uint8_t sizes = r.u8();
  const std::uint8_t sizes2 = r.u8();
  const int offsetSize = sizes >> 4;
  const int lengthSize = sizes & 15;
  const int baseOffsetSize = sizes2 >> 4;
  const int indexSize = version >= 1 ? (sizes2 & 15) : 0;
  if (!validFieldSize(offsetSize) || !validFieldSize(lengthSize) ||
      !validFieldSize(baseOffsetSize) || !validFieldSize(indexSize)) {
    return;
  }
  const std::uint32_t count = version < 2 ? r.u16() : r.u32();
  for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
    const std::uint32_t id = version < 2 ? r.u16() : r.u32();
    ItemLocation loc;
    if (version >= 1) loc.constructionMethod = r.u16() & 15;
    loc.dataReferenceIndex = r.u16();
    loc.baseOffset = r.sized(baseOffsetSize);
    const std::uint16_t extents = r.u16();
    for (std::uint16_t k = 0; k < extents && r.ok(); ++k) {
      r.sized(indexSize);
      Extent e;
      e.offset = r.sized(offsetSize);
      e.length = r.sized(lengthSize);
      // Only the Exif item is kept whole; the picture items can have many extents.
      if (loc.extents.size() < 64) loc.extents.push_back(e);
      else loc.complete = false;
    }
    if (r.ok() && isExifItem(meta, id)) meta.locations.emplace(id, std::move(loc));
  }
}

std::optional<MetaContents> readMeta(ByteSource& source) {
  std::optional<BoxHeader> metaBox;
  forEachBox(source, 0, source.size(), [&](const BoxHeader& box) {
    if (box.type == fourcc("meta")) metaBox = box;
    return !metaBox;
  });
  if (!metaBox || metaBox->payloadSize() < 4) return std::nullopt;
  // The children are read in the order their contents depend on each other,
  // whatever their order in the file.
  std::optional<BoxHeader> pitm, iinf, iref, iloc;
  MetaContents meta;
  forEachBox(source, metaBox->payloadStart + 4, metaBox->end, [&](const BoxHeader& box) {
    for (auto [type, slot] : {std::pair{fourcc("pitm"), &pitm}, std::pair{fourcc("iinf"), &iinf},
                              std::pair{fourcc("iref"), &iref}, std::pair{fourcc("iloc"), &iloc},
                              std::pair{fourcc("idat"), &meta.idat}}) {
      if (box.type == type && !*slot) *slot = box;
    }
    return true;
  });
  for (auto [box, parse] : {std::pair{&pitm, &parsePitm}, std::pair{&iinf, &parseIinf},
                            std::pair{&iref, &parseIref}, std::pair{&iloc, &parseIloc}}) {
    if (!*box) continue;
    const auto p = payloadOf(source, **box);
    if (p) parse(*p, meta);
  }
  return meta;
}

std::optional<Bytes> readItem(ByteSource& source, const ItemLocation& loc,
                              const std::optional<BoxHeader>& idat) {
  if (loc.dataReferenceIndex != 0 || loc.extents.empty() || !loc.complete) return std::nullopt;
  // Construction method 0: offsets into this file; 1: offsets into `idat`.
  std::uint64_t windowBegin = 0;
  std::uint64_t windowEnd = source.size();
  if (loc.constructionMethod == 1) {
    if (!idat) return std::nullopt;
    windowBegin = idat->payloadStart;
    windowEnd = idat->end;
  } else if (loc.constructionMethod != 0) {
    return std::nullopt;
  }
  Bytes out;
  for (const Extent& e : loc.extents) {
    const std::uint64_t room = windowEnd - windowBegin;
    if (loc.baseOffset > room || e.offset > room - loc.baseOffset) return std::nullopt;
    const std::uint64_t begin = windowBegin + loc.baseOffset + e.offset;
    // A length of 0 means the rest of the window.
    const std::uint64_t length = e.length != 0 ? e.length : windowEnd - begin;
    if (length > windowEnd - begin || length > kMaxExifItemBytes - out.size()) return std::nullopt;
    const auto part = readRange(source, begin, begin + length, kMaxExifItemBytes);
    if (!part) return std::nullopt;
    out.insert(out.end(), part->begin(), part->end());
  }
  return out;
}

}  // namespace

bool looksLikeIsoBmff(ByteSource& source) {
  std::array<std::uint8_t, 8> head{};
  if (source.size() < head.size() || !source.readAt(0, head)) return false;
  return ByteReader(std::span(head).subspan(4)).u32() == fourcc("ftyp");
}

std::optional<Bytes> findHeicExifTiff(ByteSource& source) {
  const std::optional<MetaContents> meta = readMeta(source);
  if (!meta || !meta->primary) return std::nullopt;
  for (std::uint32_t exifId : meta->exifItems) {
    const bool describesPrimary = std::find(meta->exifOfPrimary.begin(), meta->exifOfPrimary.end(),
                                            exifId) != meta->exifOfPrimary.end();
    const auto loc = meta->locations.find(exifId);
    if (!describesPrimary || loc == meta->locations.end()) continue;
    const std::optional<Bytes> item = readItem(source, loc->second, meta->idat);
    if (!item) return std::nullopt;
    // The item starts with the offset of the TIFF header past those 4 bytes.
    ByteReader r(*item);
    const std::uint32_t skip = r.u32();
    if (!r.ok() || skip > item->size() - 4) return std::nullopt;
    return Bytes(item->begin() + 4 + skip, item->end());
  }
  return std::nullopt;
}

}  // namespace media
