// Random sequences of tree operations (create, full-path create, delete, move, rename) against a
// plain model of names and order, written naively (vectors, linear scans). After every step the
// result codes must agree and the disc's tree must equal the model and keep its invariants.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "datadisk/datadisk.h"
#include "datadisk/names.h"
#include "quillden/datadisk.h"
#include "quillden/result.h"

namespace {

using quillden::Datadisk;
using quillden::DatadiskEntry;

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                        \
    }                                                                      \
  } while (0)

struct Node {
  std::u16string name;
  Node* parent = nullptr;
  std::vector<Node*> children;
  HANDLE handle = nullptr;
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::u16string MakeName(Input& in) {
  static const char16_t kAlphabet[] = u"aAbB_;.z\u00e9\u00c9\u0100*";
  uint8_t kind = in.Byte();
  size_t length = (kind & 0x80) ? 100 + (kind & 0x1F) : 1 + (kind & 0x03);
  std::u16string name;
  for (size_t i = 0; i < length; ++i) {
    uint8_t b = (length > 8 && i + 4 < length) ? 0 : in.Byte();
    name.push_back(kAlphabet[b % 12]);
  }
  return name;
}

// ---- the model ----

std::u16string PathOf(const Node* node) {
  return node->parent ? PathOf(node->parent) + u"\\" + node->name : node->name;
}
char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; }
bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}
bool SortsAfter(const std::u16string& a, const std::u16string& b) {  // a after b
  bool fold = a[0] < 128 && b[0] < 128;
  std::u16string x = a, y = b;
  if (fold) {
    for (auto& c : x) c = Lower(c);
    for (auto& c : y) c = Lower(c);
  }
  return x > y;
}
// The names the tree refuses: the fuzzer's names hold no bad character but "*", and "." and ".."
// are no names for an entry of a disc.
bool Bad(const std::u16string& name) {
  return name.find(u'*') != std::u16string::npos || name == u"." || name == u"..";
}

class Model {
 public:
  std::vector<Node*>& ChildrenOf(Node* folder) { return folder ? folder->children : root_; }
  Node* Find(Node* folder, const std::u16string& name) {
    for (Node* n : ChildrenOf(folder)) {
      if (SameName(n->name, name)) return n;
    }
    return nullptr;
  }
  // Normalises, resolves hash collisions and links; returns 0 or the path code.
  uint32_t Insert(Node* node, Node* folder) {
    std::u16string name = node->name;
    if (quillden::NormaliseName(&name)) {
      std::u16string normalised = name;
      for (uint32_t n = 0;; ++n) {
        bool clash = false;
        for (Node* s : ChildrenOf(folder)) clash |= quillden::NameHash(s->name) == quillden::NameHash(name);
        if (!clash) break;
        name = quillden::CounterName(normalised, n);
      }
    }
    node->name = name;
    node->parent = folder;
    if (PathOf(node).size() > 256) return QD_E_PATH_TOO_LONG;
    auto& list = ChildrenOf(folder);
    size_t at = 0;
    while (at < list.size() && !SortsAfter(list[at]->name, name)) ++at;
    list.insert(list.begin() + at, node);
    return QD_OK;
  }
  void Unlink(Node* node) {
    auto& list = ChildrenOf(node->parent);
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i] == node) {
        list.erase(list.begin() + i);
        return;
      }
    }
  }
  void Collect(Node* node, std::vector<Node*>* out) {
    out->push_back(node);
    for (Node* c : node->children) Collect(c, out);
  }
  size_t Longest(Node* node) {
    std::vector<Node*> all;
    Collect(node, &all);
    size_t longest = 0;
    for (Node* n : all) longest = std::max(longest, PathOf(n).size());
    return longest;
  }
  std::vector<Node*> root_;
  std::vector<std::unique_ptr<Node>> owned_;
};

void Compare(HANDLE disc, Datadisk& impl, Model& model, Node* folder, HANDLE folder_handle) {
  auto& expected = model.ChildrenOf(folder);
  HANDLE e = folder_handle ? MST_GetChildDatadiskFile(disc, folder_handle) : MST_GetRootDatadiskFile(disc);
  const DatadiskEntry* prev = nullptr;
  for (Node* node : expected) {
    CHECK(e != nullptr && e != INVALID_HANDLE_VALUE);
    CHECK(e == node->handle);
    DatadiskEntry* entry = impl.EntryFromHandle(e);
    CHECK(entry != nullptr);
    CHECK(entry->name() == node->name);
    CHECK(entry->DiscPath() == PathOf(node));
    // The invariants of every entry.
    CHECK(entry->name().size() <= 108 && !entry->name().empty());
    CHECK(entry->name().find(u';') == std::u16string_view::npos && !quillden::HasBadCharacter(entry->name()));
    CHECK(entry->DiscPathLength() <= 256);
    CHECK(entry->name_hash == quillden::NameHash(entry->name()));
    CHECK(MST_GetParentDatadiskFile(disc, e) == folder_handle);
    if (prev) CHECK(quillden::CompareSortNames(prev->name(), entry->name()) <= 0);
    if (prev) CHECK(!quillden::NamesEqualIgnoringAsciiCase(prev->name(), entry->name()));
    Compare(disc, impl, model, node, e);
    prev = entry;
    e = MST_GetNextDatadiskFile(disc, e);
  }
  CHECK(e == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  HANDLE disc = MST_CreateDatadisk();
  auto impl = Datadisk::FromHandle(disc);
  Model model;
  std::vector<Node*> live;
  auto pick = [&](uint8_t b) -> Node* { return live.empty() || b % 5 == 0 ? nullptr : live[b % live.size()]; };
  auto forget = [&](Node* node) {
    std::vector<Node*> gone;
    model.Collect(node, &gone);
    for (Node* g : gone) std::erase(live, g);
  };

  for (int step = 0; step < 200 && !in.empty(); ++step) {
    uint8_t op = in.Byte() % 4;
    if (op == 0) {  // create a folder
      Node* parent = pick(in.Byte());
      std::u16string name = MakeName(in);
      HANDLE h = MST_CreateDatadiskFolder(disc, parent ? parent->handle : nullptr, name.c_str());
      uint32_t expected = Bad(name) ? QD_E_BAD_CHARACTER : model.Find(parent, name) ? QD_E_EXISTS : QD_OK;
      auto node = std::make_unique<Node>();
      node->name = name;
      if (expected == QD_OK) expected = model.Insert(node.get(), parent);
      if (expected == QD_OK) {
        CHECK(h != INVALID_HANDLE_VALUE);
        node->handle = h;
        live.push_back(node.get());
        model.owned_.push_back(std::move(node));
      } else {
        CHECK(h == INVALID_HANDLE_VALUE);
        CHECK(MST_GetLastError(disc) == expected);
      }
    } else if (op == 1) {  // delete
      Node* node = pick(in.Byte());
      if (!node) continue;
      CHECK(MST_DeleteDatadiskFile(disc, node->handle) == QD_OK);
      forget(node);
      model.Unlink(node);
      CHECK(MST_DeleteDatadiskFile(disc, node->handle) == QD_E_INVALID_HANDLE);
    } else if (op == 2) {  // move
      Node* node = pick(in.Byte());
      Node* target = pick(in.Byte());
      if (!node) continue;
      WIN32_FIND_DATAW fd;
      CHECK(MST_GetFindDataDatadiskFile(disc, node->handle, &fd) == QD_OK);
      uint32_t code = MST_MoveDatadiskFile(disc, node->handle, target ? target->handle : nullptr, &fd);
      uint32_t expected = QD_OK;
      bool inside = false;
      for (Node* up = target; up; up = up->parent) inside |= up == node;
      size_t old_prefix = PathOf(node).size() - node->name.size();
      size_t new_prefix = target ? PathOf(target).size() + 1 : 0;
      if (node->parent == target) expected = QD_E_MOVE_SAME_FOLDER;
      else if (inside) expected = QD_E_MOVE_INTO_ITSELF;
      else if (model.Find(target, node->name)) expected = QD_E_EXISTS;
      else if (model.Longest(node) - old_prefix + new_prefix > 256) expected = QD_E_PATH_TOO_LONG;
      CHECK(code == expected);
      if (expected == QD_OK) {
        model.Unlink(node);
        CHECK(model.Insert(node, target) == QD_OK);
      }
    } else {  // rename
      Node* node = pick(in.Byte());
      if (!node) continue;
      std::u16string name = MakeName(in);
      HANDLE h = MST_RenameDatadiskFile(disc, node->handle, name.c_str());
      size_t longest = node->children.empty() ? PathOf(node).size() : model.Longest(node);
      size_t possible = std::min<size_t>(108, static_cast<uint16_t>(node->name.size() + 256 - longest));
      CHECK(MST_GetPossibleRenameLength(node->handle) == possible);
      uint32_t expected = QD_OK;
      if (name.size() >= 109) expected = QD_E_NAME_TOO_LONG;
      else if (model.Find(node->parent, name)) expected = QD_E_EXISTS;
      else if (Bad(name)) expected = QD_E_BAD_CHARACTER;
      else if (name.size() > possible) expected = QD_E_PATH_TOO_LONG;
      if (expected == QD_OK) {
        CHECK(h == node->handle);
        model.Unlink(node);
        node->name = name;
        CHECK(model.Insert(node, node->parent) == QD_OK);
      } else {
        CHECK(h == INVALID_HANDLE_VALUE);
        CHECK(MST_GetLastError(disc) == expected);
      }
    }
    Compare(disc, *impl, model, nullptr, nullptr);
  }
  size_t folders = 0;
  quillden::WalkTree(*impl, nullptr, [&](DatadiskEntry*) { ++folders; return true; });
  CHECK(folders == live.size());
  CHECK(impl->entry_count() == live.size());
  CHECK(MST_DestroyDatadisk(disc) == QD_OK);
  return 0;
}
