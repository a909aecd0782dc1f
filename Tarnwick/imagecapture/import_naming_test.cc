#include "import_naming.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace imagecapture {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint32_t kMonth = 0x20, kOtherMonth = 0x30;

std::vector<std::uint32_t> handles(const std::vector<const CatalogueFile*>& files) {
  std::vector<std::uint32_t> out;
  for (const auto* file : files) out.push_back(file->handle);
  return out;
}

CatalogueFile file(std::uint32_t handle, std::uint32_t parent, std::string name) {
  CatalogueFile entry;
  entry.handle = handle;
  entry.parent = parent;
  entry.name = std::move(name);
  return entry;
}

auto nothingHeld = [](const CatalogueFile&) { return false; };

TEST(ImportNaming, PartnersTryTheNumberTheFirstOfThemGot) {
  ImportNaming naming({file(1, kMonth, "IMG_0001.HEIC"), file(2, kMonth, "IMG_0001.MOV"),
                       file(3, kOtherMonth, "IMG_0001.MOV"), file(4, kMonth, "IMG_0001.HEIC")});
  EXPECT_EQ(naming.preferredNumber(2), 0);
  naming.stored(1, 2);  // IMG_0001 (2).HEIC
  EXPECT_EQ(naming.preferredNumber(2), 2);
  EXPECT_EQ(naming.preferredNumber(3), 0);  // another folder: not a partner
  // A second object of the same name is a file of its own: it tries the
  // same number, finds it taken and gets the first free one.
  EXPECT_EQ(naming.preferredNumber(4), 2);
  naming.stored(4, 3);
  EXPECT_EQ(naming.preferredNumber(2), 2);  // the first one's number stays
  EXPECT_EQ(naming.preferredNumber(99), 0);

  // Completing an earlier import: the number under which the folder holds
  // a partner (not a sidecar), unless one got a number in this run.
  ImportNaming resumed({file(1, kMonth, "IMG_0001.HEIC"), file(2, kMonth, "IMG_0001.AAE"),
                        file(3, kMonth, "IMG_0001.MOV"), file(4, kMonth, "IMG_0002.MOV")});
  auto heldAs = [](const CatalogueFile& f) {
    return f.handle == 1 ? std::optional(1) : f.handle == 2 ? std::optional(5) : std::nullopt;
  };
  EXPECT_EQ(resumed.preferredNumber(3, heldAs), 1);
  EXPECT_EQ(resumed.preferredNumber(4, heldAs), 0);
  resumed.stored(3, 2);
  EXPECT_EQ(resumed.preferredNumber(1, heldAs), 2);
}

TEST(ImportNaming, SidecarsTravelOnceWithTheFirstMediaFileAndSameNamedOnesAllCome) {
  ImportNaming naming({file(1, kMonth, "IMG_1863.HEIC"), file(2, kMonth, "IMG_1863.AAE"), file(3, kMonth, "IMG_1863.AAE"),
                       file(4, kMonth, "IMG_1863.MOV"), file(5, kOtherMonth, "IMG_1863.AAE"),
                       file(6, kMonth, "IMG_E1863.HEIC")});
  EXPECT_THAT(handles(naming.takeSidecars(1, nothingHeld)), ElementsAre(2, 3));
  EXPECT_THAT(handles(naming.takeSidecars(4, nothingHeld)), IsEmpty());  // already taken
  EXPECT_THAT(handles(naming.takeSidecars(6, nothingHeld)), IsEmpty());

  // A sidecar the folder already holds is not fetched, and counts as taken.
  ImportNaming again({file(1, kMonth, "IMG_1863.HEIC"), file(2, kMonth, "IMG_1863.AAE"), file(4, kMonth, "IMG_1863.MOV")});
  EXPECT_THAT(handles(again.takeSidecars(4, [](const CatalogueFile& f) { return f.handle == 2; })), IsEmpty());
  EXPECT_THAT(handles(again.takeSidecars(1, nothingHeld)), IsEmpty());
}

TEST(ImportNaming, StoredNamesAreWhatAFolderCanHold) {
  struct Case {
    std::string phone, stored;
  };
  const Case cases[] = {
      {"IMG_0001.HEIC", "IMG_0001.HEIC"}, {"Фото.HEIC", "Фото.HEIC"}, {"a/b.JPG", "a_b.JPG"},
      {std::string("a\0b.JPG", 7), "a_b.JPG"}, {"..", "_"}, {".", "_"}, {"", "_"},
      {"line\nbreak.JPG", "line\nbreak.JPG"},  // a folder holds it; the report escapes it
  };
  for (const auto& c : cases) EXPECT_EQ(ImportNaming::storedName(c.phone), c.stored) << c.phone;
}

}  // namespace
}  // namespace imagecapture
