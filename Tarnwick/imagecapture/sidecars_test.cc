#include "sidecars.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace imagecapture {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> sidecarNames(std::string_view main, const std::vector<FolderEntry>& folder) {
  std::vector<std::string> names;
  for (std::size_t i : sidecarsOf(main, folder)) names.push_back(folder[i].name);
  return names;
}

TEST(Sidecars, SameStemOtherExtensionButNotAnotherPhotoOrVideo) {
  std::vector<FolderEntry> folder = {
      {"IMG_0001.HEIC", "image/heic"}, {"IMG_0001.AAE", ""},
      {"IMG_0001.MOV", "video/quicktime"},  // the Live Photo's movie: a file of its own
      {"IMG_0001.xmp", "application/octet-stream"}, {"IMG_00011.AAE", ""},
      {"IMG_0001", ""},  // no extension: not a sidecar
      {"IMG_0002.AAE", ""}};
  EXPECT_THAT(sidecarNames("IMG_0001.HEIC", folder), ElementsAre("IMG_0001.AAE", "IMG_0001.xmp"));
  // The movie has the same sidecars; a photo is never a sidecar of it.
  EXPECT_THAT(sidecarNames("IMG_0001.MOV", folder), ElementsAre("IMG_0001.AAE", "IMG_0001.xmp"));
}

TEST(Sidecars, UnknownTypesFallBackToTheExtension) {
  std::vector<FolderEntry> folder = {{"IMG_0001.JPG", ""}, {"IMG_0001.mov", ""}, {"IMG_0001.DNG", ""},
                                     {"IMG_0001.AAE", ""}};
  EXPECT_THAT(sidecarNames("IMG_0001.JPG", folder), ElementsAre("IMG_0001.AAE"));
}

TEST(Sidecars, NamesWithoutOrWithLeadingDots) {
  std::vector<FolderEntry> folder = {{"README", ""}, {"README.txt", ""}, {".hidden", ""},
                                     {".hidden.aae", ""}};
  EXPECT_THAT(sidecarNames("README", folder), ElementsAre("README.txt"));
  EXPECT_THAT(sidecarNames(".hidden", folder), ElementsAre(".hidden.aae"));
  EXPECT_THAT(sidecarNames("a.b.jpg", {{"a.b.aae", ""}, {"a.aae", ""}}), ElementsAre("a.b.aae"));
  EXPECT_THAT(sidecarNames("IMG.JPG", {}), IsEmpty());
}

}  // namespace
}  // namespace imagecapture
