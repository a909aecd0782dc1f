#include "import_naming.h"

#include <algorithm>

#include "sidecars.h"

namespace imagecapture {

ImportNaming::ImportNaming(std::vector<CatalogueFile> files) : files_(std::move(files)) {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    byHandle_.emplace(files_[i].handle, i);
    groups_[groupOf(files_[i])].push_back(i);
  }
}

ImportNaming::Group ImportNaming::groupOf(const CatalogueFile& file) const {
  return {file.parent, std::string(nameStem(file.name))};
}

const CatalogueFile* ImportNaming::find(std::uint32_t handle) const {
  auto it = byHandle_.find(handle);
  return it == byHandle_.end() ? nullptr : &files_[it->second];
}

std::optional<int> ImportNaming::numberInThisRun(std::uint32_t handle) const {
  const CatalogueFile* file = find(handle);
  if (!file) return std::nullopt;
  auto it = numberOfGroup_.find(groupOf(*file));
  if (it == numberOfGroup_.end()) return std::nullopt;
  return it->second;
}

std::vector<const CatalogueFile*> ImportNaming::partners(std::uint32_t handle) const {
  const CatalogueFile* file = find(handle);
  if (!file) return {};
  const auto sidecars = sidecarCandidates(handle);
  std::vector<const CatalogueFile*> partners;
  for (std::size_t i : groups_.at(groupOf(*file))) {
    const CatalogueFile* member = &files_[i];
    const bool withExtension = nameStem(member->name).size() != member->name.size();
    if (member->name == file->name || !withExtension ||
        std::find(sidecars.begin(), sidecars.end(), member) != sidecars.end())
      continue;
    partners.push_back(member);
  }
  return partners;
}

void ImportNaming::stored(std::uint32_t handle, int number) {
  if (const CatalogueFile* file = find(handle)) numberOfGroup_.emplace(groupOf(*file), number);
}

std::vector<const CatalogueFile*> ImportNaming::sidecarCandidates(std::uint32_t handle) const {
  const CatalogueFile* file = find(handle);
  if (!file) return {};
  const auto& members = groups_.at(groupOf(*file));
  std::vector<FolderEntry> folder;
  for (std::size_t i : members) folder.push_back({files_[i].name, ""});  // the extension decides
  std::vector<const CatalogueFile*> sidecars;
  for (std::size_t at : sidecarsOf(file->name, folder)) sidecars.push_back(&files_[members[at]]);
  return sidecars;
}

std::string ImportNaming::storedName(std::string_view phoneName) {
  std::string name(phoneName);
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") return "_";
  return name;
}

}  // namespace imagecapture
