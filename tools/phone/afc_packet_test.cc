#include "afc_packet.h"

#include <gtest/gtest.h>

#include <string>

namespace phone::afc {
namespace {

std::string Le64(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

std::string Header(uint64_t entire, uint64_t this_length, uint64_t packet, uint64_t operation,
                   const char* magic = "CFA6LPAA") {
  return std::string(magic, 8) + Le64(entire) + Le64(this_length) + Le64(packet) +
         Le64(operation);
}

TEST(AfcPacketTest, AnswerHeadersAreCheckedBeforeTheirDataIsRead) {
  struct Row {
    std::string header;
    HeaderCheck expected;
    uint64_t data_size;
  };
  const Row rows[] = {
      {Header(48, 40, 3, kStatus), HeaderCheck::kOk, 8},
      {Header(48, 48, 3, kStatus), HeaderCheck::kOk, 8},  // data counted in this packet
      {Header(40, 40, 3, kData), HeaderCheck::kOk, 0},
      {Header(40 + kMaxAnswerData, 40, 3, kData), HeaderCheck::kOk, kMaxAnswerData},
      {Header(41 + kMaxAnswerData, 40, 3, kData), HeaderCheck::kBadLength, 0},
      {Header(~0ull, 40, 3, kData), HeaderCheck::kBadLength, 0},
      {Header(48, 39, 3, kStatus), HeaderCheck::kBadLength, 0},
      {Header(48, 49, 3, kStatus), HeaderCheck::kBadLength, 0},
      {Header(0, 0, 3, kStatus), HeaderCheck::kBadLength, 0},
      {Header(48, 40, 2, kStatus), HeaderCheck::kOutOfStep, 0},
      {Header(48, 40, 3, kStatus, "CFA6LPAB"), HeaderCheck::kNotAfc, 0},
  };
  for (const Row& row : rows) {
    AnswerHeader header;
    ASSERT_EQ(row.header.size(), kHeaderSize);
    EXPECT_EQ(checkHeader(reinterpret_cast<const unsigned char*>(row.header.data()), 3, &header),
              row.expected)
        << &row - rows;
    if (row.expected == HeaderCheck::kOk) {
      EXPECT_EQ(header.data_size, row.data_size);
    }
  }
}

TEST(AfcPacketTest, DataIsUsedOnlyWhenWhole) {
  EXPECT_EQ(readNumber(Le64(0x1122334455667788)), 0x1122334455667788u);
  EXPECT_EQ(readNumber(Le64(4) + "x"), 4u);
  EXPECT_EQ(readNumber(std::string(7, '\0')), std::nullopt);

  using Names = std::vector<std::string>;
  EXPECT_EQ(parseNames(""), Names{});
  EXPECT_EQ(parseNames(std::string(".\0..\0a\nb\0\0", 10)), (Names{".", "..", "a\nb", ""}));
  EXPECT_EQ(parseNames(std::string(".\0..\0IMG_00", 11)), std::nullopt);

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(parseKeyValues(std::string("st_size\0" "5\0st_ifmt\0S_IFLNK\0", 26)),
            (Pairs{{"st_size", "5"}, {"st_ifmt", "S_IFLNK"}}));
  EXPECT_EQ(parseKeyValues(std::string("st_size\0" "5\0st_ifmt\0", 18)), std::nullopt);
  EXPECT_EQ(parseKeyValues(std::string("st_size\0" "5", 9)), std::nullopt);
}

}  // namespace
}  // namespace phone::afc
