#include "fixtures.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace fixtures {

const std::string kCopyrightDay = "\xA9" "day";
const std::string kCreationDateKey = "com.apple.quicktime.creationdate";

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void putU16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
void putU32(Bytes& out, std::uint32_t v) {
  putU16(out, v >> 16);
  putU16(out, v & 0xFFFF);
}
void putU64(Bytes& out, std::uint64_t v) {
  putU32(out, static_cast<std::uint32_t>(v >> 32));
  putU32(out, static_cast<std::uint32_t>(v));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) append(out, p);
  return out;
}

// ---- TIFF ----

namespace {

enum TiffType : std::uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kUndefined = 7 };

struct TiffEntry {
  std::uint16_t tag;
  std::uint16_t type;
  std::uint32_t count;
  Bytes data;  // already in the file's byte order
};

class TiffWriter {
 public:
  explicit TiffWriter(bool bigEndian) : big_(bigEndian) {}

  void u16(Bytes& out, std::uint32_t v) const {
    if (big_) {
      putU16(out, v);
    } else {
      out.push_back(static_cast<std::uint8_t>(v));
      out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  }
  void u32(Bytes& out, std::uint32_t v) const {
    if (big_) {
      putU32(out, v);
    } else {
      u16(out, v & 0xFFFF);
      u16(out, v >> 16);
    }
  }
  TiffEntry ascii(std::uint16_t tag, const std::string& text) const {
    Bytes data = bytesOf(text);
    data.push_back(0);
    return {tag, kAscii, static_cast<std::uint32_t>(data.size()), data};
  }
  TiffEntry shortValue(std::uint16_t tag, std::uint32_t v) const {
    Bytes data;
    u16(data, v);
    return {tag, kShort, 1, data};
  }
  TiffEntry longValue(std::uint16_t tag, std::uint32_t v) const {
    Bytes data;
    u32(data, v);
    return {tag, kLong, 1, data};
  }
  Bytes header(std::uint32_t firstIfd) const {
    Bytes out = big_ ? bytesOf("MM") : bytesOf("II");
    u16(out, 42);
    u32(out, firstIfd);
    return out;
  }
  // One IFD placed at `at`, its long values right behind it.
  Bytes ifd(std::vector<TiffEntry> entries, std::uint32_t at) const {
    Bytes out, extra;
    const std::uint32_t dataStart = at + 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
    u16(out, static_cast<std::uint32_t>(entries.size()));
    for (const TiffEntry& e : entries) {
      u16(out, e.tag);
      u16(out, e.type);
      u32(out, e.count);
      if (e.data.size() <= 4) {
        Bytes inline_ = e.data;
        inline_.resize(4, 0);
        append(out, inline_);
      } else {
        u32(out, dataStart + static_cast<std::uint32_t>(extra.size()));
        append(extra, e.data);
        if (extra.size() % 2) extra.push_back(0);
      }
    }
    u32(out, 0);
    append(out, extra);
    return out;
  }

 private:
  bool big_;
};

// IFD0 entries plus the Exif IFD, laid out after `prefix` bytes of image data
// that start at offset 8.
Bytes tiffWithImage(const ExifDates& dates, const std::vector<TiffEntry>& imageEntries,
                    const Bytes& pixels) {
  TiffWriter w(dates.bigEndian);
  std::uint32_t ifd0At = 8 + static_cast<std::uint32_t>(pixels.size());
  ifd0At += (4 - ifd0At % 4) % 4;

  std::vector<TiffEntry> exifEntries;
  Bytes version = bytesOf("0232");
  exifEntries.push_back({0x9000, kUndefined, 4, version});
  if (dates.original) {
    exifEntries.push_back(w.ascii(0x9003, *dates.original));
    exifEntries.push_back(w.ascii(0x9004, *dates.original));
  }

  auto ifd0Entries = [&](std::uint32_t exifAt) {
    std::vector<TiffEntry> e = imageEntries;
    e.push_back(w.ascii(0x010F, dates.make));
    e.push_back(w.ascii(0x0110, dates.model));
    if (dates.tiffDateTime) e.push_back(w.ascii(0x0132, *dates.tiffDateTime));
    e.push_back(w.longValue(0x8769, exifAt));
    std::sort(e.begin(), e.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    return e;
  };
  const std::uint32_t ifd0Size = static_cast<std::uint32_t>(w.ifd(ifd0Entries(0), ifd0At).size());
  const std::uint32_t exifAt = ifd0At + ifd0Size + (ifd0Size % 2);

  Bytes out = w.header(ifd0At);
  append(out, pixels);
  out.resize(ifd0At, 0);
  append(out, w.ifd(ifd0Entries(exifAt), ifd0At));
  out.resize(exifAt, 0);
  append(out, w.ifd(exifEntries, exifAt));
  return out;
}

// The TIFF tags of a 1x1 8-bit grey image whose one strip is at offset 8.
std::vector<TiffEntry> greyImageEntries(const TiffWriter& w) {
  return {w.longValue(0x0100, 1),   w.longValue(0x0101, 1), w.shortValue(0x0102, 8),
          w.shortValue(0x0103, 1),  w.shortValue(0x0106, 1), w.longValue(0x0111, 8),
          w.shortValue(0x0115, 1),  w.longValue(0x0116, 1), w.longValue(0x0117, 1)};
}

std::uint32_t crc32(const Bytes& data, std::size_t from) {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = from; i < data.size(); ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

Bytes pngChunk(std::string_view type, const Bytes& data) {
  Bytes out;
  putU32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t typeAt = out.size();
  append(out, bytesOf(type));
  append(out, data);
  putU32(out, crc32(out, typeAt));
  return out;
}

}  // namespace

Bytes exifTiff(const ExifDates& dates) { return tiffWithImage(dates, {}, {}); }

Bytes jpeg(const ExifDates& dates) {
  Bytes out = {0xFF, 0xD8};
  Bytes app1 = bytesOf(std::string("Exif\0\0", 6));
  append(app1, exifTiff(dates));
  out.push_back(0xFF);
  out.push_back(0xE1);
  putU16(out, static_cast<std::uint32_t>(app1.size() + 2));
  append(out, app1);
  // An 8x8 mid-grey baseline image: quantisation table of ones, Huffman
  // tables with one code each (DC difference 0, end of block).
  Bytes dqt = {0xFF, 0xDB, 0x00, 0x43, 0x00};
  dqt.resize(dqt.size() + 64, 1);
  append(out, dqt);
  append(out, {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00});
  Bytes dhtDc = {0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01};
  dhtDc.resize(dhtDc.size() + 15, 0);
  dhtDc.push_back(0x00);
  append(out, dhtDc);
  Bytes dhtAc = {0xFF, 0xC4, 0x00, 0x14, 0x10, 0x01};
  dhtAc.resize(dhtAc.size() + 15, 0);
  dhtAc.push_back(0x00);
  append(out, dhtAc);
  append(out, {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  append(out, {0x3F, 0xFF, 0xD9});
  return out;
}

Bytes png(const ExifDates& dates, PngExif mode) {
  Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  putU32(ihdr, 1);
  putU32(ihdr, 1);
  append(ihdr, {8, 0, 0, 0, 0});  // 8-bit grey
  append(out, pngChunk("IHDR", ihdr));
  if (mode == PngExif::eXIf) {
    append(out, pngChunk("eXIf", exifTiff(dates)));
  } else if (mode == PngExif::rawProfileText) {
    Bytes blob = bytesOf(std::string("Exif\0\0", 6));
    append(blob, exifTiff(dates));
    std::string text = "\nexif\n";
    char length[16];
    std::snprintf(length, sizeof length, "%8zu", blob.size());
    text += length;
    static const char* hex = "0123456789abcdef";
    for (std::size_t i = 0; i < blob.size(); ++i) {
      if (i % 36 == 0) text += '\n';
      text += hex[blob[i] >> 4];
      text += hex[blob[i] & 15];
    }
    text += '\n';
    Bytes data = bytesOf(std::string("Raw profile type exif\0", 22));
    append(data, bytesOf(text));
    append(out, pngChunk("tEXt", data));
  }
  // zlib stream with one stored block holding the row: filter 0, pixel 0x80.
  Bytes idat = {0x78, 0x01, 0x01, 0x02, 0x00, 0xFD, 0xFF, 0x00, 0x80};
  putU32(idat, 0x00820081);  // Adler-32 of {0, 0x80}
  append(out, pngChunk("IDAT", idat));
  append(out, pngChunk("IEND", {}));
  return out;
}

Bytes tiffImage(const ExifDates& dates) {
  TiffWriter w(dates.bigEndian);
  return tiffWithImage(dates, greyImageEntries(w), {0x80});
}

Bytes dng(const ExifDates& dates) {
  TiffWriter w(dates.bigEndian);
  std::vector<TiffEntry> entries = greyImageEntries(w);
  entries.push_back({0xC612, kByte, 4, {1, 4, 0, 0}});  // DNGVersion
  entries.push_back(w.ascii(0xC614, dates.make + " " + dates.model));
  return tiffWithImage(dates, entries, {0x80});
}

// ---- boxes ----

Bytes box(std::string_view type, const Bytes& payload) {
  Bytes out;
  putU32(out, static_cast<std::uint32_t>(payload.size() + 8));
  append(out, bytesOf(type));
  append(out, payload);
  return out;
}

Bytes box64(std::string_view type, const Bytes& payload) {
  Bytes out;
  putU32(out, 1);
  append(out, bytesOf(type));
  putU64(out, payload.size() + 16);
  append(out, payload);
  return out;
}

Bytes fullBox(std::string_view type, std::uint8_t version, std::uint32_t flags,
              const Bytes& payload) {
  Bytes inner;
  putU32(inner, static_cast<std::uint32_t>(version) << 24 | (flags & 0xFFFFFF));
  append(inner, payload);
  return box(type, inner);
}

Bytes ftyp(std::string_view major, std::initializer_list<std::string_view> compatible) {
  Bytes p = bytesOf(major);
  putU32(p, 0);
  for (std::string_view c : compatible) append(p, bytesOf(c));
  return box("ftyp", p);
}

namespace {

Bytes handler(std::string_view type) {
  Bytes p;
  putU32(p, 0);
  append(p, bytesOf(type));
  putU32(p, 0);
  putU32(p, 0);
  putU32(p, 0);
  p.push_back(0);
  return fullBox("hdlr", 0, 0, p);
}

Bytes dataBox(const MetaItem& item) {
  Bytes p;
  putU32(p, item.dataType);
  putU32(p, 0);  // locale
  append(p, bytesOf(item.value));
  return box("data", p);
}

Bytes mdtaChildren(const std::vector<MetaItem>& items) {
  Bytes keys;
  putU32(keys, static_cast<std::uint32_t>(items.size()));
  Bytes ilst;
  std::uint32_t index = 1;
  for (const MetaItem& item : items) {
    putU32(keys, static_cast<std::uint32_t>(item.key.size() + 8));
    append(keys, bytesOf("mdta"));
    append(keys, bytesOf(item.key));
    Bytes entry;
    putU32(entry, static_cast<std::uint32_t>(dataBox(item).size() + 8));
    putU32(entry, index++);
    append(entry, dataBox(item));
    append(ilst, entry);
  }
  return concat({handler("mdta"), fullBox("keys", 0, 0, keys), box("ilst", ilst)});
}

}  // namespace

Bytes iphoneMeta(const std::vector<MetaItem>& items) { return box("meta", mdtaChildren(items)); }

Bytes ffmpegMdtaMeta(const std::vector<MetaItem>& items) {
  return fullBox("meta", 0, 0, mdtaChildren(items));
}

Bytes itunesMeta(const std::vector<MetaItem>& items) {
  Bytes ilst;
  for (const MetaItem& item : items) append(ilst, box(item.key, dataBox(item)));
  return fullBox("meta", 0, 0, concat({handler("mdir"), box("ilst", ilst)}));
}

Bytes udtaText(std::string_view fourcc, std::string_view text) {
  Bytes p;
  putU16(p, static_cast<std::uint32_t>(text.size()));
  putU16(p, 0x55C4);  // packed ISO 639 "und"
  append(p, bytesOf(text));
  return box(fourcc, p);
}

Bytes mvhd() {
  Bytes p;
  putU32(p, 0);     // creation time
  putU32(p, 0);     // modification time
  putU32(p, 600);   // time scale
  putU32(p, 600);   // duration
  putU32(p, 0x00010000);
  putU16(p, 0x0100);
  p.resize(p.size() + 10, 0);
  for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) putU32(p, v);
  p.resize(p.size() + 24, 0);
  putU32(p, 2);  // next track id
  return fullBox("mvhd", 0, 0, p);
}

namespace {

Bytes mdat(std::size_t n) { return box("mdat", Bytes(n, 0x11)); }

Bytes dummyTrak() {
  Bytes tkhd(80, 0);
  return box("trak", fullBox("tkhd", 0, 3, tkhd));
}

}  // namespace

Bytes iphoneMov(const std::vector<MetaItem>& items, std::size_t mdatBytes) {
  return concat({ftyp("qt  ", {"qt  "}), box("wide", {}), mdat(mdatBytes),
                 box("moov", concat({mvhd(), dummyTrak(), iphoneMeta(items)}))});
}

Bytes ffmpegMov(std::string_view day, std::size_t mdatBytes) {
  return concat({ftyp("qt  ", {"qt  "}), box("wide", {}), mdat(mdatBytes),
                 box("moov", concat({mvhd(), dummyTrak(),
                                     box("udta", udtaText(kCopyrightDay, day))}))});
}

Bytes ffmpegMp4(std::string_view day, std::string_view brand, std::size_t mdatBytes) {
  return concat({ftyp(brand, {"isom", "iso2", "mp41"}), box("free", {}), mdat(mdatBytes),
                 box("moov", concat({mvhd(), dummyTrak(),
                                     box("udta", itunesMeta({{kCopyrightDay, std::string(day)}}))}))});
}

// ---- HEIC ----

namespace {

void putSized(Bytes& out, std::uint64_t v, int size) {
  if (size == 4) putU32(out, static_cast<std::uint32_t>(v));
  if (size == 8) putU64(out, v);
}

// Version 2 has 16-bit item ids, version 3 32-bit ones.
Bytes infe(std::uint32_t id, std::string_view type) {
  const bool wide = id > 0xFFFF;
  Bytes p;
  if (wide) putU32(p, id);
  else putU16(p, id);
  putU16(p, 0);
  append(p, bytesOf(type));
  p.push_back(0);
  return fullBox("infe", wide ? 3 : 2, 0, p);
}

struct Extent {
  std::uint64_t offset;
  std::uint64_t length;
};

struct Located {
  std::uint32_t id;
  std::uint64_t base;
  std::vector<Extent> extents;
  int constructionMethod = 0;
};

Bytes iloc(const HeicOptions& o, const std::vector<Located>& items) {
  Bytes p;
  p.push_back(static_cast<std::uint8_t>(o.offsetSize << 4 | o.lengthSize));
  p.push_back(static_cast<std::uint8_t>(o.baseOffsetSize << 4));
  if (o.ilocVersion < 2) putU16(p, static_cast<std::uint32_t>(items.size()));
  else putU32(p, static_cast<std::uint32_t>(items.size()));
  for (const auto& [id, base, extents, method] : items) {
    if (o.ilocVersion < 2) putU16(p, id);
    else putU32(p, id);
    if (o.ilocVersion >= 1) putU16(p, static_cast<std::uint32_t>(method));
    putU16(p, 0);                          // data reference index
    putSized(p, base, o.baseOffsetSize);
    putU16(p, static_cast<std::uint32_t>(extents.size()));
    for (const Extent& e : extents) {
      putSized(p, e.offset, o.offsetSize);
      putSized(p, e.length, o.lengthSize);
    }
  }
  return fullBox("iloc", static_cast<std::uint8_t>(o.ilocVersion), 0, p);
}

}  // namespace

Bytes heic(const ExifDates& dates, const HeicOptions& o) {
  Bytes exifItem;
  if (o.exifPrefix) {
    putU32(exifItem, 6);
    append(exifItem, bytesOf(std::string("Exif\0\0", 6)));
  } else {
    putU32(exifItem, 0);
  }
  append(exifItem, exifTiff(dates));
  const Bytes picture(32, 0x22);

  Bytes file = ftyp("heic", {"mif1", "MiHE", "MiPr", "miaf", "MiHB", "heic"});
  const std::uint32_t exifId = o.exifItemId;
  const bool wideIds = exifId > 0xFFFF;

  auto metaFor = [&](std::uint64_t mdatPayload) {
    // Offsets of the two items, absolute or relative to the base.
    // Without offset fields each item's base offset points at it.
    const std::uint64_t base = o.baseOffsetSize ? mdatPayload : 0;
    const std::uint64_t pictureAt = o.offsetSize ? mdatPayload - base : 0;
    const std::uint64_t exifAt = o.offsetSize ? pictureAt + picture.size() : 0;
    std::uint64_t exifBase = o.offsetSize ? base : mdatPayload + picture.size();
    std::vector<Extent> exifExtents;
    if (o.splitExif) {
      const std::uint64_t half = exifItem.size() / 2;
      exifExtents = {{exifAt, half}, {exifAt + half, exifItem.size() - half}};
    } else {
      exifExtents = {{exifAt, o.lengthSize ? exifItem.size() : 0}};
    }
    if (o.exifInIdat) {
      exifBase = 0;
      exifExtents = {{0, exifItem.size()}};
    }
    Bytes pitm;
    putU16(pitm, 1);
    Bytes iinf;
    putU16(iinf, 2);
    append(iinf, infe(1, "hvc1"));
    append(iinf, infe(exifId, "Exif"));
    Bytes iref;
    if (o.linkExifToPrimary) {
      Bytes cdsc;
      if (wideIds) putU32(cdsc, exifId);
      else putU16(cdsc, exifId);
      putU16(cdsc, 1);
      if (wideIds) putU32(cdsc, 1);
      else putU16(cdsc, 1);
      append(iref, box("cdsc", cdsc));
    }
    const Bytes locations = iloc(o, {{1, base, {{pictureAt, picture.size()}}, 0},
                                     {exifId, exifBase, exifExtents, o.exifInIdat ? 1 : 0}});
    return fullBox("meta", 0, 0,
                   concat({handler("pict"), o.ilocFirst ? locations : Bytes{}, fullBox("pitm", 0, 0, pitm),
                           fullBox("iinf", 0, 0, iinf), fullBox("iref", wideIds ? 1 : 0, 0, iref),
                           box("iprp", box("ipco", {})), o.ilocFirst ? Bytes{} : locations,
                           o.exifInIdat ? box("idat", exifItem) : Bytes{}}));
  };
  const std::uint64_t metaAt = file.size();
  const std::uint64_t mdatHeader = o.largeMdat ? 16 : 8;
  const std::uint64_t mdatPayload = metaAt + metaFor(0).size() + mdatHeader;
  append(file, metaFor(mdatPayload));
  const Bytes payload = o.exifInIdat ? picture : concat({picture, exifItem});
  append(file, o.largeMdat ? box64("mdat", payload) : box("mdat", payload));
  return file;
}

}  // namespace fixtures
