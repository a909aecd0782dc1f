#include "catalogue.h"

#include <algorithm>
#include <functional>

namespace emulated_phone::usb {

namespace {

// The tree as read, before handles are given.
struct Node {
  std::string name, path;
  bool folder = false, synthetic = false;
  uint64_t size = 0;
  int64_t modified = 0;
  std::vector<Node> children;
};

int64_t seconds(uint64_t ns) { return static_cast<int64_t>(ns / 1000000000u); }

void read(FileSystem& files, Node& folder, const CatalogueSetup& setup) {
  std::vector<std::string> names;
  if (files.list(folder.path, &names) != FsStatus::kOk) return;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    Node child;
    child.name = name;
    child.path = folder.path == "/" ? "/" + name : folder.path + "/" + name;
    FileFacts facts;
    if (files.facts(child.path, &facts) != FsStatus::kOk) continue;
    child.folder = facts.is_folder;
    child.size = facts.size;
    child.modified = seconds(facts.modified_ns);
    if (child.folder) read(files, child, setup);
    folder.children.push_back(child);
    if (!child.folder && setup.duplicated.count(name)) folder.children.push_back(child);
  }
}

// Puts a synthetic file at `path` ("DCIM/202405__/IMG_0100.MOV"), making the
// folders it needs.
void graft(Node& root, const std::string& path, uint64_t size) {
  Node* folder = &root;
  size_t from = 0;
  for (;;) {
    const size_t slash = path.find('/', from);
    const std::string part = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
    from = slash == std::string::npos ? path.size() : slash + 1;
    if (part.empty()) {
      if (slash == std::string::npos) return;
      continue;
    }
    auto it = std::find_if(folder->children.begin(), folder->children.end(),
                           [&](const Node& n) { return n.name == part; });
    if (slash == std::string::npos) {
      Node file{part, "", false, true, size, root.modified, {}};
      if (it != folder->children.end() && !it->folder) {
        *it = file;
      } else {
        auto at = std::lower_bound(folder->children.begin(), folder->children.end(), part,
                                   [](const Node& n, const std::string& name) { return n.name < name; });
        folder->children.insert(at, file);
      }
      return;
    }
    if (it == folder->children.end() || !it->folder) {
      auto at = std::lower_bound(folder->children.begin(), folder->children.end(), part,
                                 [](const Node& n, const std::string& name) { return n.name < name; });
      it = folder->children.insert(at, Node{part, "", true, true, 0, root.modified, {}});
    }
    folder = &*it;
  }
}

}  // namespace

bool isMonthFolderName(const std::string& name) {
  if (name.size() != 8 || name[6] != '_') return false;
  for (int i = 0; i < 6; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  const int month = (name[4] - '0') * 10 + (name[5] - '0');
  return month >= 1 && month <= 12 && (name[7] == '_' || (name[7] >= 'a' && name[7] <= 'z'));
}

Catalogue Catalogue::scan(FileSystem& files, const CatalogueSetup& setup) {
  Node root;
  root.path = "/";
  root.folder = true;
  FileFacts facts;
  if (files.facts("/", &facts) == FsStatus::kOk) root.modified = seconds(facts.modified_ns);
  read(files, root, setup);
  for (const auto& [path, size] : setup.large) graft(root, path, size);

  Catalogue c;
  auto dcim = std::find_if(root.children.begin(), root.children.end(),
                           [](const Node& n) { return n.folder && n.name == "DCIM"; });
  if (dcim != root.children.end()) {
    bool months = false, others = false;
    for (const Node& n : dcim->children) (n.folder && isMonthFolderName(n.name) ? months : others) = true;
    c.current_ios_ = months && !others;
    // The hidden DCIM is handle 1.
    if (c.current_ios_) std::rotate(root.children.begin(), dcim, dcim + 1);
  }

  // Handles in the order of the tree: a folder, then everything in it.
  std::function<uint32_t(const Node&, uint32_t)> add = [&](const Node& n, uint32_t parent) {
    const uint32_t handle = static_cast<uint32_t>(c.objects_.size() + 1);
    c.objects_.push_back(CatalogueObject{handle, parent, n.path, n.name, n.folder, n.synthetic, n.size,
                                         n.modified, {}});
    std::vector<uint32_t> children;
    for (const Node& child : n.children) children.push_back(add(child, handle));
    c.objects_[handle - 1].children = std::move(children);
    return handle;
  };
  for (const Node& n : root.children) c.root_.push_back(add(n, 0));

  if (c.current_ios_) {
    // In a month folder, files come newest first.
    for (uint32_t month : c.objects_[0].children) {
      auto& children = c.objects_[month - 1].children;
      std::stable_sort(children.begin(), children.end(), [&](uint32_t a, uint32_t b) {
        const bool fa = c.objects_[a - 1].folder, fb = c.objects_[b - 1].folder;
        return fa != fb ? fa : (!fa && a > b);
      });
    }
  }
  return c;
}

const CatalogueObject* Catalogue::find(uint32_t handle) const {
  if (handle == 0 || handle > objects_.size()) return nullptr;
  return &objects_[handle - 1];
}

uint32_t Catalogue::shownParent(const CatalogueObject& o, uint32_t storage) const {
  return current_ios_ && o.handle == 1 ? storage : o.parent;
}

std::vector<uint32_t> Catalogue::topLevel() const {
  if (!current_ios_) return root_;
  std::vector<uint32_t> top = objects_[0].children;
  top.insert(top.end(), root_.begin() + 1, root_.end());
  return top;
}

void Catalogue::walk(uint32_t folder, std::vector<uint32_t>* out) const {
  out->push_back(folder);
  const auto& children = objects_[folder - 1].children;
  for (uint32_t h : children)
    if (!objects_[h - 1].folder) out->push_back(h);
  for (uint32_t h : children)
    if (objects_[h - 1].folder) walk(h, out);
}

std::vector<uint32_t> Catalogue::wholeTree() const {
  std::vector<uint32_t> all;
  for (uint32_t h : root_)
    if (!objects_[h - 1].folder) all.push_back(h);
  for (uint32_t h : root_)
    if (objects_[h - 1].folder) walk(h, &all);
  return all;
}

}  // namespace emulated_phone::usb
