// The tree through the MST_ interface: naming, order, paths, moves, renames, counts and handles.
#include "datadisk/datadisk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quillden/datadisk.h"
#include "quillden/result.h"

namespace quillden {
namespace {

class DatadiskTest : public testing::Test {
 protected:
  void SetUp() override {
    disc_ = MST_CreateDatadisk();
    ASSERT_NE(disc_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override { EXPECT_EQ(MST_DestroyDatadisk(disc_), QD_OK); }

  HANDLE Folder(HANDLE parent, const std::u16string& name) {
    return MST_CreateDatadiskFolder(disc_, parent, name.c_str());
  }
  std::u16string Path(HANDLE entry) {
    WCHAR buffer[300] = {};
    EXPECT_EQ(MST_GetDatadiskFilename(disc_, entry, buffer, 300), QD_OK);
    return buffer;
  }
  std::u16string Name(HANDLE entry) {
    WIN32_FIND_DATAW data;
    EXPECT_EQ(MST_GetFindDataDatadiskFile(disc_, entry, &data), QD_OK);
    return data.cFileName;
  }
  std::vector<std::u16string> Children(HANDLE folder) {
    std::vector<std::u16string> names;
    HANDLE e = folder ? MST_GetChildDatadiskFile(disc_, folder) : MST_GetRootDatadiskFile(disc_);
    for (; e != nullptr && e != INVALID_HANDLE_VALUE; e = MST_GetNextDatadiskFile(disc_, e)) {
      names.push_back(Name(e));
    }
    return names;
  }
  std::u16string ErrorFile() {
    WCHAR buffer[260];
    EXPECT_EQ(MST_GetErrorFileName(disc_, buffer), QD_OK);
    return buffer;
  }
  std::u16string ErrorTarget() {
    WCHAR buffer[260];
    EXPECT_EQ(MST_GetErrorTargetPath(disc_, buffer), QD_OK);
    return buffer;
  }
  // Makes a chain of folders whose deepest disc path has exactly length characters.
  HANDLE DeepFolder(size_t length) {
    HANDLE parent = nullptr;
    size_t used = 0;
    while (length - used > 101) {
      parent = Folder(parent, std::u16string(100 - (used ? 0 : 1), u'd'));
      used = Path(parent).size() + 1;
    }
    return Folder(parent, std::u16string(length - used, u'z'));
  }

  HANDLE disc_ = nullptr;
};

TEST_F(DatadiskTest, CreationDefaults) {
  EXPECT_EQ(MST_GetLastError(disc_), QD_OK);
  EXPECT_EQ(MST_GetRootDatadiskFile(disc_), nullptr);
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_), 0u);
  auto disc = Datadisk::FromHandle(disc_);
  ASSERT_TRUE(disc);
  std::u16string label(disc->volume_label);
  ASSERT_EQ(label.size(), 15u);  // YYYYMMDD_hhmmss
  EXPECT_EQ(label[8], u'_');
  EXPECT_EQ(disc->file_system, 7u);
  EXPECT_EQ(disc->data_mode, 1u);
  EXPECT_EQ(disc->file_version_flag, 1);
}

TEST_F(DatadiskTest, InvalidHandlesAreRefusedNotDereferenced) {
  HANDLE folder = Folder(nullptr, u"f");
  HANDLE other = MST_CreateDatadisk();
  // An entry of another disc, a stale entry and made-up values are all invalid here.
  EXPECT_EQ(MST_GetChildDatadiskFile(other, folder), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(other), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_DeleteDatadiskFile(disc_, folder), QD_OK);
  EXPECT_EQ(MST_GetNextDatadiskFile(disc_, folder), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_DeleteDatadiskFile(disc_, folder), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_GetPossibleRenameLength(folder), 0);
  HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t{0x1234});
  EXPECT_EQ(MST_GetParentDatadiskFile(disc_, bogus), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_CreateDatadiskFolder(disc_, bogus, u"x"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_DestroyDatadisk(other), QD_OK);
  EXPECT_EQ(MST_DestroyDatadisk(other), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_GetLastError(other), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_GetRootDatadiskFile(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetNumberOfWriteFile(INVALID_HANDLE_VALUE), 0xFFFFFFFFu);
  EXPECT_EQ(MST_SetLastError(disc_, 0x08000099u), QD_OK);
  EXPECT_EQ(MST_GetLastError(disc_), 0x08000099u);
}

TEST_F(DatadiskTest, SiblingsSortFoldedBelow128AndByCodeUnitAbove) {
  for (const char16_t* name : {u"B", u"\u00e9t\u00e9", u"a", u"\u00c9cole", u"_x", u"Zeta"}) {
    ASSERT_NE(Folder(nullptr, name), INVALID_HANDLE_VALUE);
  }
  std::vector<std::u16string> expected = {u"_x",   u"a",          u"B",
                                          u"Zeta", u"\u00c9cole", u"\u00e9t\u00e9"};
  EXPECT_EQ(Children(nullptr), expected);
}

TEST_F(DatadiskTest, LookupIgnoresAsciiCaseAndLeavesErrorAloneWhenMissing) {
  HANDLE readme = Folder(nullptr, u"ReadMe");
  EXPECT_EQ(MST_FindDatadiskFile(disc_, nullptr, u"README"), readme);
  EXPECT_EQ(Folder(nullptr, u"readme"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_EXISTS);
  MST_SetLastError(disc_, 0);
  EXPECT_EQ(MST_FindDatadiskFile(disc_, nullptr, u"nothing"), nullptr);
  EXPECT_EQ(MST_GetLastError(disc_), QD_OK);
  EXPECT_EQ(MST_FindDatadiskFile(disc_, nullptr, u""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_FindDatadiskFile(disc_, nullptr, u"a?"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
}

// A large folder filled in shuffled order, then thinned out and renamed in shuffled order: the
// siblings stay in order and every name is found again (the folder's index splits its order runs
// and moves its hash slots on the way).
TEST_F(DatadiskTest, LargeFolderKeepsOrderAndLookupsThroughChanges) {
  HANDLE big = Folder(nullptr, u"big");
  std::mt19937 random(25);
  std::vector<int> numbers(3000);
  for (int i = 0; i < 3000; ++i) numbers[i] = i;
  std::shuffle(numbers.begin(), numbers.end(), random);
  auto name_of = [](int n, const char* prefix) {
    std::string text = prefix + std::to_string(100000 + n);
    if (n % 3 == 0) text[0] = static_cast<char>(text[0] - 'a' + 'A');  // case folds in order
    return std::u16string(text.begin(), text.end());
  };
  std::map<std::string, std::pair<std::u16string, HANDLE>> expected;  // folded name: name, entry
  auto folded = [](const std::u16string& name) {
    std::string key(name.begin(), name.end());
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
  };
  for (int n : numbers) {
    std::u16string name = name_of(n, "e");
    HANDLE entry = Folder(big, name);
    ASSERT_NE(entry, INVALID_HANDLE_VALUE) << n;
    expected[folded(name)] = {name, entry};
  }
  auto check = [&]() {
    std::vector<std::u16string> names;
    for (const auto& [key, value] : expected) {
      names.push_back(value.first);
      std::u16string upper;
      for (char16_t c : value.first) upper.push_back(c >= u'a' && c <= u'z' ? c - 32 : c);
      ASSERT_EQ(MST_FindDatadiskFile(disc_, big, upper.c_str()), value.second);
    }
    EXPECT_EQ(Children(big), names);
  };
  check();
  std::shuffle(numbers.begin(), numbers.end(), random);
  for (size_t i = 0; i < numbers.size(); ++i) {
    const int n = numbers[i];
    auto it = expected.find(folded(name_of(n, "e")));
    ASSERT_NE(it, expected.end());
    HANDLE entry = it->second.second;
    if (i % 3 == 0) {
      ASSERT_EQ(MST_DeleteDatadiskFile(disc_, entry), QD_OK);
      EXPECT_EQ(MST_FindDatadiskFile(disc_, big, it->second.first.c_str()), nullptr);
      expected.erase(it);
    } else if (i % 3 == 1) {
      std::u16string renamed = name_of(n, "r");
      ASSERT_EQ(MST_RenameDatadiskFile(disc_, entry, renamed.c_str()), entry);
      expected.erase(it);
      expected[folded(renamed)] = {renamed, entry};
    }
  }
  check();
}

TEST_F(DatadiskTest, LongNamesAreCutAndCollisionsCounted) {
  std::u16string name = std::u16string(116, u'L') + u".txt";  // 120 characters
  HANDLE first = Folder(nullptr, name);
  HANDLE second = Folder(nullptr, name + u"");  // not found under its long name: inserted again
  HANDLE third = Folder(nullptr, name);
  ASSERT_NE(third, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Name(first), std::u16string(104, u'L') + u".txt");
  EXPECT_EQ(Name(second), std::u16string(103, u'L') + u"0.txt");
  EXPECT_EQ(Name(third), std::u16string(103, u'L') + u"1.txt");
  EXPECT_EQ(Folder(nullptr, u"a;b.txt") != INVALID_HANDLE_VALUE, true);
  EXPECT_NE(MST_FindDatadiskFile(disc_, nullptr, u"a_b.txt"), nullptr);
}

TEST_F(DatadiskTest, DiscPathLimitIs256WithBothErrorFieldsFilled) {
  HANDLE at_limit = DeepFolder(256);
  ASSERT_NE(at_limit, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Path(at_limit).size(), 256u);
  HANDLE parent = MST_GetParentDatadiskFile(disc_, at_limit);
  EXPECT_EQ(MST_DeleteDatadiskFile(disc_, at_limit), QD_OK);
  std::u16string parent_path = Path(parent);
  std::u16string name(257 - parent_path.size() - 1, u'y');
  EXPECT_EQ(Folder(parent, name), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_PATH_TOO_LONG);
  EXPECT_EQ(ErrorFile(), name);
  EXPECT_EQ(ErrorTarget(), parent_path + u"\\" + name);
  EXPECT_EQ(MST_GetChildDatadiskFile(disc_, parent), nullptr);  // nothing linked
}

TEST_F(DatadiskTest, FullPathFoldersAndLookups) {
  HANDLE c = MST_CreateFullPathDatadiskFolder(disc_, u"a\\b\\c");
  ASSERT_NE(c, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Path(c), u"a\\b\\c");
  EXPECT_EQ(MST_CreateFullPathDatadiskFolder(disc_, u"a\\b\\c"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_EXISTS);
  HANDLE d = MST_CreateFullPathDatadiskFolder(disc_, u"A\\B\\d");  // intermediates reused
  EXPECT_EQ(MST_GetParentDatadiskFile(disc_, d), MST_GetParentDatadiskFile(disc_, c));
  EXPECT_EQ(MST_CreateFullPathDatadiskFolder(disc_, u""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_CreateFullPathDatadiskFolder(disc_, u"x\\y*"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_FindDatadiskFile(disc_, nullptr, u"x"),
            nullptr);  // refused before anything was made

  WIN32_FIND_DATAW data{};
  EXPECT_EQ(MST_FindFullPathDatadiskFile(disc_, u"a\\B\\C", &data), c);
  EXPECT_EQ(std::u16string(data.cFileName), u"c");
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(MST_FindFullPathDatadiskFile(disc_, u"a\\zz\\c", nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_NOT_FOUND);
  EXPECT_EQ(MST_FindFullPathDatadiskFile(disc_, u"a\\b\\c<", nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
}

TEST_F(DatadiskTest, MoveChecksInOrderAndRebuildsDeepPaths) {
  HANDLE a = MST_CreateFullPathDatadiskFolder(disc_, u"a");
  HANDLE deep = MST_CreateFullPathDatadiskFolder(disc_, u"a\\b\\c\\d");
  HANDLE b = MST_GetParentDatadiskFile(disc_, MST_GetParentDatadiskFile(disc_, deep));
  HANDLE target = Folder(nullptr, u"t");
  WIN32_FIND_DATAW data;
  MST_GetFindDataDatadiskFile(disc_, b, &data);

  EXPECT_EQ(MST_MoveDatadiskFile(disc_, b, a, &data), QD_E_MOVE_SAME_FOLDER);
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, b, b, &data), QD_E_MOVE_INTO_ITSELF);
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, a, deep, &data), QD_E_MOVE_INTO_ITSELF);
  Folder(target, u"B");
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, b, target, &data), QD_E_EXISTS);
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, b, nullptr, &data), QD_OK);
  EXPECT_EQ(Path(deep), u"b\\c\\d");
  EXPECT_EQ(MST_GetParentDatadiskFile(disc_, b), nullptr);
  EXPECT_EQ(Children(nullptr), (std::vector<std::u16string>{u"a", u"b", u"t"}));
  EXPECT_EQ(Children(a), std::vector<std::u16string>{});
}

TEST_F(DatadiskTest, MoveRefusesASubtreeThatWouldPassTheLimit) {
  HANDLE long_leaf = DeepFolder(250);
  HANDLE top = MST_GetRootDatadiskFile(disc_);
  HANDLE deep_parent = MST_GetParentDatadiskFile(disc_, long_leaf);
  HANDLE far = MST_CreateFullPathDatadiskFolder(disc_, u"zzzzzzzz\\yyyyyy");
  WIN32_FIND_DATAW data;
  MST_GetFindDataDatadiskFile(disc_, top, &data);
  // Moving the whole chain under far adds 16 characters to its deepest path (250 + 16 > 256).
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, top, far, &data), QD_E_PATH_TOO_LONG);
  EXPECT_EQ(ErrorFile(), Name(top));
  EXPECT_EQ(ErrorTarget(), Path(top));
  EXPECT_EQ(MST_GetParentDatadiskFile(disc_, top), nullptr);
  EXPECT_EQ(Path(long_leaf).size(), 250u);
  // Into the leaf itself: far's own path (15) lands below a 250-character folder.
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, far, long_leaf, &data), QD_E_PATH_TOO_LONG);
  // A file is no target at all.
  auto disc = Datadisk::FromHandle(disc_);
  DatadiskEntry* file = disc->NewEntry();
  file->file_attributes = FILE_ATTRIBUTE_NORMAL;
  disc->SetEntryName(file, u"file");
  ASSERT_EQ(InsertEntry(*disc, file, nullptr), QD_OK);
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, far, file, &data), QD_E_MOVE_NOT_FOLDER);
  EXPECT_EQ(MST_MoveDatadiskFile(disc_, far, deep_parent, nullptr), QD_E_INVALID_ARGUMENT);
}

TEST_F(DatadiskTest, RenameRefusesCaseOnlyChangesAndRebuildsPaths) {
  HANDLE a = MST_CreateFullPathDatadiskFolder(disc_, u"a.txt");
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, a, u"A.TXT"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_EXISTS);
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, a, u""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, a, std::u16string(109, u'n').c_str()),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_NAME_TOO_LONG);
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, a, u"x|y"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);

  HANDLE leaf = MST_CreateFullPathDatadiskFolder(disc_, u"top\\mid\\leaf");
  HANDLE top = MST_FindDatadiskFile(disc_, nullptr, u"top");
  Folder(nullptr, u"m");
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, top, u"0first"), top);
  EXPECT_EQ(Path(leaf), u"0first\\mid\\leaf");
  EXPECT_EQ(Children(nullptr), (std::vector<std::u16string>{u"0first", u"a.txt", u"m"}));
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, top, u"semi;colon"), top);
  EXPECT_EQ(Name(top), u"semi_colon");
  EXPECT_EQ(Path(leaf), u"semi_colon\\mid\\leaf");
}

TEST_F(DatadiskTest, NoEntryIsNamedDotOrDotDot) {
  HANDLE folder = Folder(nullptr, u"folder");
  for (const std::u16string name : {u".", u".."}) {
    EXPECT_EQ(Folder(nullptr, name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
    EXPECT_EQ(Folder(folder, name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(MST_CreateFullPathDatadiskFolder(disc_, (u"a\\" + name + u"\\b").c_str()),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
    EXPECT_EQ(MST_RenameDatadiskFile(disc_, folder, name.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(MST_GetLastError(disc_), QD_E_BAD_CHARACTER);
  }
  EXPECT_EQ(Path(folder), u"folder");
  HANDLE a = MST_FindDatadiskFile(disc_, nullptr, u"a");
  ASSERT_NE(a, nullptr);  // made before the refused component, as the export documents
  EXPECT_EQ(Children(a), std::vector<std::u16string>{});
  EXPECT_EQ(Children(nullptr), (std::vector<std::u16string>{u"a", u"folder"}));
  EXPECT_NE(Folder(nullptr, u"..."), INVALID_HANDLE_VALUE);
}

TEST_F(DatadiskTest, PossibleRenameLengthFollowsTheDeepestPath) {
  HANDLE leaf = DeepFolder(250);
  HANDLE top = MST_GetRootDatadiskFile(disc_);
  size_t top_name = Name(top).size();  // 99
  EXPECT_EQ(MST_GetPossibleRenameLength(top), std::min<size_t>(108, top_name + 6));
  EXPECT_EQ(MST_RenameDatadiskFile(disc_, top, std::u16string(top_name + 7, u'q').c_str()),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_PATH_TOO_LONG);
  EXPECT_NE(MST_RenameDatadiskFile(disc_, top, std::u16string(top_name + 6, u'q').c_str()),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(Path(leaf).size(), 256u);
  HANDLE small = Folder(nullptr, u"s");
  EXPECT_EQ(MST_GetPossibleRenameLength(small), 108);
}

TEST_F(DatadiskTest, WriteFileCountSkipsFoldersAndEngineEntries) {
  auto disc = Datadisk::FromHandle(disc_);
  HANDLE folder = Folder(nullptr, u"f");
  auto make_file = [&](const char16_t* name, uint32_t attributes, DatadiskEntry* parent) {
    DatadiskEntry* entry = disc->NewEntry();
    entry->file_attributes = attributes;
    disc->SetEntryName(entry, name);
    ASSERT_EQ(InsertEntry(*disc, entry, parent), QD_OK);
  };
  make_file(u"one", FILE_ATTRIBUTE_NORMAL, nullptr);
  make_file(u"two", FILE_ATTRIBUTE_NORMAL, disc->EntryFromHandle(folder));
  make_file(u"boot.img", FILE_ATTRIBUTE_NORMAL | DDF_ATTR_BOOT_IMAGE, nullptr);
  make_file(u"old", FILE_ATTRIBUTE_NORMAL | DDF_ATTR_IMPORTED, disc->EntryFromHandle(folder));
  EXPECT_EQ(MST_GetNumberOfWriteFile(disc_), 2u);
}

TEST_F(DatadiskTest, DeletingTheBootImageEntryFreesTheImage) {
  auto disc = Datadisk::FromHandle(disc_);
  HANDLE folder = MST_CreateFullPathDatadiskFolder(disc_, u"boot");
  disc->boot_image =
      std::pmr::polymorphic_allocator<BootImage>(disc->heap()).new_object<BootImage>(disc->heap());
  disc->boot_image->data.resize(2048);
  DatadiskEntry* entry = disc->NewEntry();
  entry->file_attributes = FILE_ATTRIBUTE_NORMAL | DDF_ATTR_BOOT_IMAGE;
  disc->SetEntryName(entry, u"boot.img");
  ASSERT_EQ(InsertEntry(*disc, entry, disc->EntryFromHandle(folder)), QD_OK);
  disc->boot_image->entry = entry;
  EXPECT_EQ(MST_DeleteDatadiskFile(disc_, folder), QD_OK);  // the subtree holding it
  EXPECT_EQ(disc->boot_image, nullptr);
}

TEST_F(DatadiskTest, FilenameBuffersAreCheckedNotOverrun) {
  HANDLE c = MST_CreateFullPathDatadiskFolder(disc_, u"ab\\cd");
  WCHAR small[5] = {u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(MST_GetDatadiskFilename(disc_, c, small, 5), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[1], u'#');
  WCHAR fits[6];
  EXPECT_EQ(MST_GetDatadiskFilename(disc_, c, fits, 6), QD_OK);
  EXPECT_EQ(std::u16string(fits), u"ab\\cd");
  EXPECT_EQ(MST_GetDatadiskFilename(disc_, c, nullptr, 6), QD_E_INVALID_ARGUMENT);
  WCHAR source[8] = {u'#'};
  EXPECT_EQ(MST_GetSourceFilename(disc_, c, source, 8), QD_OK);
  EXPECT_EQ(source[0], 0);  // a folder made on the disc has no source
  EXPECT_EQ(MST_GetFindDataDatadiskFile(disc_, c, nullptr), QD_E_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace quillden
