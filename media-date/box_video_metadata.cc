#include "box_video_metadata.h"

#include <array>
#include <vector>

#include "box_reader.h"

namespace media {
namespace {

bool validUtf8(std::span<const std::uint8_t> s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::uint8_t c = s[i];
    std::size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (n == 9 || n > s.size() - i - 1) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

// UTF-8 as it is; anything else read as Latin-1.
std::string textOf(std::span<const std::uint8_t> s) {
  if (validUtf8(s)) return std::string(s.begin(), s.end());
  std::string out;
  for (std::uint8_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string utf16beToUtf8(std::span<const std::uint8_t> s) {
  std::string out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    std::uint32_t cp = static_cast<std::uint32_t>(s[i] << 8 | s[i + 1]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < s.size()) {
      const std::uint32_t low = static_cast<std::uint32_t>(s[i + 2] << 8 | s[i + 3]);
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

class Collector {
 public:
  explicit Collector(ByteSource& source) : source_(source) {}

  void readFile() {
    forEachBox(source_, 0, source_.size(), [&](const BoxHeader& box) {
      if (box.type != fourcc("moov")) return true;
      readMoov(box);
      return false;  // the first movie box is the movie
    }, 1u << 16);
  }

  VideoMetadata take() { return std::move(result_); }

 private:
  void readMoov(const BoxHeader& moov) {
    forEachBox(source_, moov.payloadStart, moov.end, [&](const BoxHeader& box) {
      if (box.type == fourcc("meta")) readMeta(box);
      if (box.type == fourcc("udta")) readUdta(box);
      return true;
    });
  }

  void readUdta(const BoxHeader& udta) {
    forEachBox(source_, udta.payloadStart, udta.end, [&](const BoxHeader& box) {
      if (box.type == fourcc("meta")) readMeta(box);
      if ((box.type >> 24) == 0xA9) readUserDataText(box);
      return true;
    });
  }

  // (c)xxx: one or more texts, each a 16-bit length, a 16-bit language code
  // and the text; the first is the item's value.
  void readUserDataText(const BoxHeader& box) {
    std::optional<std::string> value;
    if (box.payloadSize() >= 4 && box.payloadSize() <= kMaxValueBytes + 4) {
      const auto p = readRange(source_, box.payloadStart, box.end, kMaxValueBytes + 4);
      if (p) {
        ByteReader r(*p);
        const std::uint16_t length = r.u16();
        r.u16();  // language
        const auto text = r.bytes(length);
        if (r.ok()) value = textOf(text);
      }
    }
    const std::string key = fourccText(box.type);
    addItem(key, value, box.type == fourcc("\xA9" "day"));
  }

  void readMeta(const BoxHeader& meta) {
    // iPhones write moov/meta without version and flags; others with them.
    std::uint64_t childrenStart = meta.payloadStart;
    std::array<std::uint8_t, 4> first{};
    if (meta.payloadSize() >= 4 && source_.readAt(meta.payloadStart, first) &&
        ByteReader(first).u32() == 0) {
      childrenStart += 4;
    }
    std::uint32_t handler = 0;
    std::vector<std::optional<std::string>> keys;
    std::optional<BoxHeader> ilst;
    forEachBox(source_, childrenStart, meta.end, [&](const BoxHeader& box) {
      if (box.type == fourcc("hdlr")) handler = readHandler(box);
      if (box.type == fourcc("keys")) keys = readKeys(box);
      if (box.type == fourcc("ilst") && !ilst) ilst = box;
      return true;
    });
    if (!ilst) return;
    if (handler == fourcc("mdta")) readMdtaList(*ilst, keys);
    if (handler == fourcc("mdir")) readItunesList(*ilst);
  }

  std::uint32_t readHandler(const BoxHeader& box) {
    std::array<std::uint8_t, 12> p{};
    if (box.payloadSize() < p.size() || !source_.readAt(box.payloadStart, p)) return 0;
    ByteReader r(p);
    r.skip(8);  // version, flags, pre-defined
    return r.u32();
  }

  // Key texts in order; entries that do not fit in the box are not there.
  std::vector<std::optional<std::string>> readKeys(const BoxHeader& box) {
    std::vector<std::optional<std::string>> keys;
    const auto p = readRange(source_, box.payloadStart, box.end, kMaxKeysBytes);
    if (!p) return keys;
    ByteReader r(*p);
    r.skip(4);  // version, flags
    const std::uint32_t count = r.u32();
    for (std::uint32_t i = 0; i < count && r.remaining() >= 8; ++i) {
      const std::uint32_t size = r.u32();
      r.u32();  // namespace
      if (size < 8) break;
      const auto text = r.bytes(size - 8);
      if (!r.ok()) break;
      keys.push_back(textOf(text));
    }
    return keys;
  }

  void readMdtaList(const BoxHeader& ilst, const std::vector<std::optional<std::string>>& keys) {
    forEachBox(source_, ilst.payloadStart, ilst.end, [&](const BoxHeader& entry) {
      const std::uint32_t index = entry.type;
      ItemKey key = index;  // an index that names no key stays a number
      if (index >= 1 && index <= keys.size() && keys[index - 1]) key = *keys[index - 1];
      const std::optional<std::string> value = readDataValue(entry);
      const auto* text = std::get_if<std::string>(&key);
      addItem(key, value, text && *text == kQuickTimeCreationDateKey);
      return true;
    });
  }

  void readItunesList(const BoxHeader& ilst) {
    forEachBox(source_, ilst.payloadStart, ilst.end, [&](const BoxHeader& entry) {
      addItem(fourccText(entry.type), readDataValue(entry), entry.type == fourcc("\xA9" "day"));
      return true;
    });
  }

  // The text of the first `data` box inside an ilst entry: types 1 and 4 are
  // UTF-8, 2 and 5 UTF-16 (4 and 5 are the "sort" variants); other types carry
  // no text.
  std::optional<std::string> readDataValue(const BoxHeader& entry) {
    std::optional<std::string> value;
    forEachBox(source_, entry.payloadStart, entry.end, [&](const BoxHeader& data) {
      if (data.type != fourcc("data")) return true;
      if (data.payloadSize() < 8 || data.payloadSize() > kMaxValueBytes + 8) return false;
      const auto p = readRange(source_, data.payloadStart, data.end, kMaxValueBytes + 8);
      if (!p) return false;
      ByteReader r(*p);
      const std::uint32_t type = r.u32() & 0xFFFFFF;
      r.u32();  // locale
      const auto bytes = r.bytes(r.remaining());
      if (type == 1 || type == 4) value = textOf(bytes);
      if (type == 2 || type == 5) value = utf16beToUtf8(bytes);
      return false;
    });
    return value;
  }

  void addItem(ItemKey key, const std::optional<std::string>& value, bool isCreationDate) {
    if (result_.metadata.size() >= kMaxItems) return;
    if (isCreationDate) {
      MetadataItem common;
      common.commonKey = std::string(kCommonKeyCreationDate);
      common.key = key;
      common.stringValue = value;
      result_.commonMetadata.push_back(std::move(common));
    }
    MetadataItem item;
    item.key = std::move(key);
    item.stringValue = value;
    result_.metadata.push_back(std::move(item));
  }

  ByteSource& source_;
  VideoMetadata result_;
};

}  // namespace

VideoMetadata readBoxMetadata(ByteSource& source) {
  Collector collector(source);
  collector.readFile();
  return collector.take();
}

VideoMetadata BoxVideoMetadataReader::readMetadata(const std::string& path) {
  const std::unique_ptr<FileByteSource> file = FileByteSource::open(path);
  if (!file) return {};
  return readBoxMetadata(*file);
}

}  // namespace media
