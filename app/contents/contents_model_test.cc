#include "app/contents/contents_model.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

using platform::Utf8ToUtf16;

class ContentsModelTest : public testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_.Child(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // A top-level file whose CONTENTS01 points to contents file name (in the temp folder).
  std::u16string TopLevel(const std::string& extra, const std::string& contents_sections) {
    return Utf8ToUtf16(Write("top.ini", extra + contents_sections));
  }

  std::string Pointer(int n, const std::string& file) {
    char section[32];
    std::snprintf(section, sizeof section, "[CONTENTS%02d]\n", n);
    return section + std::string("IniPath=") + dir_.Child(file) + "\n";
  }

  static std::string Contents(const std::string& title = "Recovery") {
    return "[CONTENTS]\nContentsTitle=" + title + "\nContentsID=ID1\n";
  }

  platform::ScopedTempDir dir_;
  ScriptedPrompter prompter_;
  ScopedPrompter scope_{&prompter_};
};

constexpr char kOneDvd[] =
    "[DISCSET01]\nDiscSetTitle=Set A\nDescription=All\n"
    "[DISC0101]\nDiscTitle=Disc 1\nDiscType=DVD\nVolumeLabel=RECOVERY\n"
    "[FILESET010101]\nSourcePath=/r/a\nTargetPath=a\nFile0001=*\n";

TEST_F(ContentsModelTest, NumberedItemsStopAtTheFirstGap) {
  Write("c1.ini", Contents("One") + kOneDvd);
  Write("c3.ini", Contents("Three") + kOneDvd);
  CContentsList list;
  EXPECT_EQ(list.Load(TopLevel("", Pointer(1, "c1.ini") + Pointer(3, "c3.ini"))), 1);
  ASSERT_EQ(list.item_count(), 1);
  EXPECT_EQ(list.item(0)->title(), u"One");
  EXPECT_EQ(list.item(0)->contents_id(), u"ID1");
  EXPECT_TRUE(prompter_.records().empty()) << "loading reports nothing";
}

TEST_F(ContentsModelTest, UnusableItemsAreDroppedAndTheSequenceGoesOn) {
  Write("noset.ini", Contents("NoSet") + "[DISC0101]\nDiscType=CD\n");     // DISCSET01 missing
  Write("notitle.ini", "[CONTENTS]\nContentsID=X\n" + std::string(kOneDvd));
  Write("good.ini", Contents("Good") + kOneDvd);
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "noset.ini") + Pointer(2, "notitle.ini") + Pointer(3, "missing.ini") +
                             Pointer(4, "good.ini") + "[CONTENTS05]\nOther=1\n" + Pointer(6, "good.ini")));
  ASSERT_EQ(list.item_count(), 1);  // CONTENTS05 has keys but no IniPath: the list ends there
  EXPECT_EQ(list.item(0)->title(), u"Good");
}

TEST_F(ContentsModelTest, MissingTopLevelFileGivesAnEmptyListWithFullVerify) {
  CContentsList list;
  EXPECT_EQ(list.Load(Utf8ToUtf16(dir_.Child("absent.ini"))), 1);
  EXPECT_EQ(list.item_count(), 0);
  EXPECT_EQ(list.verify_mode(), CContentsList::kVerifyFull);
}

// IniPath comes from a file on the recovery area: a device or a FIFO there is refused at once and
// named, and the items after it still load.
TEST_F(ContentsModelTest, ConfigurationThatIsNoRegularFileIsRefusedByName) {
  Write("good.ini", Contents("Good") + kOneDvd);
  const std::string fifo = dir_.Child("pipe.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  CContentsList list;
  list.Load(TopLevel("", "[CONTENTS01]\nIniPath=/dev/zero\n[CONTENTS02]\nIniPath=" + fifo + "\n" +
                             Pointer(3, "good.ini") + Pointer(4, "missing.ini")));
  ASSERT_EQ(list.item_count(), 1);
  EXPECT_EQ(list.item(0)->title(), u"Good");
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 2u) << "the absent file is no refusal";
  EXPECT_EQ(records[0].message.text.rfind(FormatString(ids::kReadFileFailed, {u"/dev/zero"}), 0),
            0u);
  EXPECT_NE(records[0].message.text.find(u"( Error Code: 040205-F0-00000016 )"),
            std::u16string::npos);
  EXPECT_EQ(
      records[1].message.text.rfind(FormatString(ids::kReadFileFailed, {Utf8ToUtf16(fifo)}), 0),
      0u);
}

TEST_F(ContentsModelTest, VerifySettings) {
  Write("c.ini", Contents() + kOneDvd);
  struct Case {
    std::string settings;
    int mode;
  } cases[] = {
      {"", 2},
      {"[VERIFYSETTINGS]\nVerify=NO\n", 2},  // the test is for "No", case-sensitive
      {"[VERIFYSETTINGS]\nVerify=None\n", 0},
      {"[VERIFYSETTINGS]\nVerify=Yes\nVerifyMode=quick\n", 2},
      {"[VERIFYSETTINGS]\nVerify=Yes\nVerifyMode=Quick\n", 1},
      {"[VERIFYSETTINGS]\nVerify=Not now\nVerifyMode=Quick\n", 0},
      {"[verifysettings]\nverifymode=Quick\n", 1},  // names compare without case
  };
  for (const Case& c : cases) {
    CContentsList list;
    list.Load(TopLevel(c.settings, Pointer(1, "c.ini")));
    EXPECT_EQ(list.verify_mode(), c.mode) << c.settings;
  }
}

TEST_F(ContentsModelTest, UnknownDiscTypeEndsTheDiscListButKeepsTheSet) {
  Write("c.ini", Contents() +
                     "[DISCSET01]\nDiscSetTitle=A\n"
                     "[DISC0101]\nDiscTitle=Blu\nDiscType=BD\n"
                     "[DISC0102]\nDiscTitle=Second\nDiscType=DVD\n"
                     "[DISCSET02]\nDiscSetTitle=B\n"
                     "[DISC0201]\nDiscType=dvd\n");
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  ASSERT_EQ(list.item_count(), 1);
  CContentsItem* item = list.item(0);
  ASSERT_EQ(item->set_count(), 2);
  EXPECT_EQ(item->set(0)->disc_count(), 0);
  EXPECT_EQ(item->set(1)->disc_count(), 0) << "DiscType is case-sensitive";
}

TEST_F(ContentsModelTest, DiscTypesAndTheirCodes) {
  Write("c.ini", Contents() +
                     "[DISCSET01]\nDiscSetTitle=A\n"
                     "[DISC0101]\nDiscType=CD\nDiscSize=100\n"
                     "[DISC0102]\nDiscType=DVD\n[DISC0103]\nDiscType=DVDDL\n"
                     "[DISC0104]\nDiscType=HDDVD\n[DISC0105]\nDiscType=HDDVDDL\n"
                     "[DISC0106]\nDiscType=USB\nDiscSize=15000MB\n"
                     "[DISC0107]\nDiscType=USB\nDiscSize=99999999999999999999999\n");
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  const CDiscSet* set = list.item(0)->set(0);
  ASSERT_EQ(set->disc_count(), 7);
  const int kinds[] = {1, 2, 3, 4, 5, 6, 6};
  const uint32_t systems[] = {1, 3, 3, 5, 5, 1001, 1001};
  for (int d = 0; d < 7; ++d) {
    EXPECT_EQ(set->disc(d)->media_kind(), kinds[d]);
    EXPECT_EQ(set->disc(d)->file_system(), systems[d]);
  }
  EXPECT_EQ(set->disc(0)->required_size(), 0u) << "DiscSize only counts for USB";
  EXPECT_EQ(set->disc(5)->required_size(), 15000u);
  EXPECT_EQ(set->disc(6)->required_size(), UINT64_MAX);
}

TEST_F(ContentsModelTest, BootImageAndEmulationRules) {
  Write("c.ini", Contents() +
                     "[DISCSET01]\nDiscSetTitle=A\n"
                     "[DISC0101]\nDiscType=DVD\nBootImage=/r/boot.img\nImageFile=/r/x.iso\n"
                     "[DISC0102]\nDiscType=DVD\nBootImage=/r/boot.img\nEmulation=NO\n"
                     "[DISC0103]\nDiscType=DVD\nBootImage=/r/boot.img\nEmulation=NO\nLoadSegment=1984abc\n"
                     "SectorNum=4\n"
                     "[DISC0104]\nDiscType=DVD\nBootImage=/r/etfsboot.com\nEmulation=PE\n"
                     "[DISC0105]\nDiscType=CD\nBootImage=/r/b\nEmulation=NOPE\n"
                     "[DISC0106]\nDiscType=CD\nBootImage=/r/b\nEmulation=pe\n"
                     "[DISC0107]\nDiscType=CD\nImageFile=/r/disc.wvm\n");
  setenv("QUENVAR_PLATFORM_VERSION", "6.0", 1);
  CContentsList old_platform;
  old_platform.Load(TopLevel("", Pointer(1, "c.ini")));
  setenv("QUENVAR_PLATFORM_VERSION", "6.1", 1);
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  unsetenv("QUENVAR_PLATFORM_VERSION");

  const CDiscSet* set = list.item(0)->set(0);
  ASSERT_EQ(set->disc_count(), 7);
  const CDiscItem* both = set->disc(0);
  EXPECT_EQ(both->bootable(), 1);
  EXPECT_EQ(both->has_image_file(), 0) << "a bootable disc ignores ImageFile";
  EXPECT_TRUE(both->image_file().empty());
  EXPECT_EQ(both->emulation(), kEmulationFloppy);
  EXPECT_EQ(both->load_segment(), 0x7C0);
  EXPECT_EQ(both->sector_count(), 1);

  EXPECT_EQ(set->disc(1)->emulation(), kEmulationNone);
  EXPECT_EQ(set->disc(1)->load_segment(), 0) << "BOOTABLE_FD_SEGMENT reads as 0";
  EXPECT_EQ(set->disc(1)->sector_count(), 0);
  EXPECT_EQ(set->disc(2)->load_segment(), 1984);
  EXPECT_EQ(set->disc(2)->sector_count(), 4);

  const CDiscItem* pe = set->disc(3);
  EXPECT_EQ(pe->emulation(), kEmulationPreinstall);
  EXPECT_EQ(pe->load_segment(), 0);
  EXPECT_EQ(pe->sector_count(), 8);
  EXPECT_EQ(pe->file_version_number(), 0);
  EXPECT_EQ(pe->file_system(), kFileSystemIsoJoliet) << "PE discs carry ISO 9660 and Joliet only";
  EXPECT_EQ(old_platform.item(0)->set(0)->disc(3)->sector_count(), 4);

  EXPECT_EQ(set->disc(4)->emulation(), kEmulationNone) << "NO is tested before PE";
  EXPECT_EQ(set->disc(5)->emulation(), kEmulationFloppy);
  EXPECT_EQ(set->disc(6)->bootable(), 0);
  EXPECT_EQ(set->disc(6)->has_image_file(), 1);
  EXPECT_EQ(set->disc(6)->image_file(), u"/r/disc.wvm");
}

TEST_F(ContentsModelTest, EfiBootImageKey) {
  Write("c.ini", Contents() +
                     "[DISCSET01]\nDiscSetTitle=A\n"
                     "[DISC0101]\nDiscType=DVD\nBootImage=/r/boot.img\nEmulation=NO\nEfiBootImage=/r/esp.img\n"
                     "[DISC0102]\nDiscType=DVD\nEfiBootImage=/r/esp.img\nImageFile=/r/x.iso\n"
                     "[DISC0103]\nDiscType=CD\nImageFile=/r/disc.wvm\n");
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  const CDiscSet* set = list.item(0)->set(0);
  ASSERT_EQ(set->disc_count(), 3);
  EXPECT_EQ(set->disc(0)->efi_boot_image(), u"/r/esp.img");
  EXPECT_EQ(set->disc(0)->bootable(), 1);
  EXPECT_EQ(set->disc(0)->emulation(), kEmulationNone);
  // An EFI-only disc is a data disc: not bootable through the BIOS, its ImageFile ignored.
  EXPECT_EQ(set->disc(1)->bootable(), 0);
  EXPECT_EQ(set->disc(1)->efi_boot_image(), u"/r/esp.img");
  EXPECT_EQ(set->disc(1)->has_image_file(), 0);
  // Without the key nothing changes.
  EXPECT_TRUE(set->disc(2)->efi_boot_image().empty());
  EXPECT_EQ(set->disc(2)->has_image_file(), 1);
}

TEST_F(ContentsModelTest, FileSetsAndTheirLists) {
  Write("c.ini", Contents() +
                     "[DISCSET01]\nDiscSetTitle=A\n[DISC0101]\nDiscType=DVD\n"
                     "[FILESET010101]\nSourcePath=/r/a\nTargetPath=\"Target Dir\"\nSubFolder=yes\n"
                     "File0001=one\nFile0002=two\nFile0003=three\nFile0005=five\n"
                     "[FILESET010102]\nSourcePath=/r/b\n"
                     "[FILESET010104]\nSourcePath=/r/d\n");
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  const CDiscItem* disc = list.item(0)->set(0)->disc(0);
  ASSERT_EQ(disc->file_set_count(), 2);
  const CFileSet* first = disc->file_set(0);
  EXPECT_EQ(first->include_subfolders(), 0) << "only exactly \"Yes\" includes subfolders";
  EXPECT_EQ(first->target_path(), u"Target Dir");
  ASSERT_EQ(first->file_count(), 3);
  EXPECT_EQ(first->files()[2], u"three");
  EXPECT_EQ(disc->file_set(1)->include_subfolders(), 1) << "missing SubFolder means Yes";
  EXPECT_EQ(disc->file_set(1)->file_count(), 0);
}

TEST_F(ContentsModelTest, ValuesAreCutTo259Characters) {
  const std::string long_title(300, 'x');
  Write("c.ini", Contents(long_title) + kOneDvd);
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  ASSERT_EQ(list.item_count(), 1);
  EXPECT_EQ(list.item(0)->title(), Utf8ToUtf16(std::string(259, 'x')));
}

TEST_F(ContentsModelTest, NumberedSequencesStopAfter99) {
  std::string text = Contents();
  for (int s = 1; s <= 100; ++s) {
    char sections[96];
    std::snprintf(sections, sizeof sections, "[DISCSET%02d]\nDiscSetTitle=S%d\n[DISC%02d01]\nDiscType=CD\n", s, s, s);
    text += sections;
  }
  Write("c.ini", text);
  CContentsList list;
  list.Load(TopLevel("", Pointer(1, "c.ini")));
  ASSERT_EQ(list.item_count(), 1);
  EXPECT_EQ(list.item(0)->set_count(), 99);
}

TEST_F(ContentsModelTest, Utf16FileLoadsLikeItsUtf8Twin) {
  const std::string utf8 = Contents("Récupération 復元") +
                           "[DISCSET01]\nDiscSetTitle=セット\n[DISC0101]\nDiscTitle=디스크 1\nDiscType=CD\n"
                           "[FILESET010101]\nSourcePath=/r/ü\nFile0001=名前.txt\n";
  Write("c8.ini", utf8);
  const std::u16string text = Utf8ToUtf16(utf8);
  std::string utf16 = "\xFF\xFE";
  for (char16_t c : text) {
    utf16.push_back(static_cast<char>(c & 0xFF));
    utf16.push_back(static_cast<char>(c >> 8));
  }
  Write("c16.ini", utf16);

  CContentsList a, b;
  a.Load(TopLevel("", Pointer(1, "c8.ini")));
  b.Load(TopLevel("", Pointer(1, "c16.ini")));
  ASSERT_EQ(a.item_count(), 1);
  ASSERT_EQ(b.item_count(), 1);
  EXPECT_EQ(b.item(0)->title(), a.item(0)->title());
  EXPECT_EQ(b.item(0)->title(), u"Récupération 復元");
  EXPECT_EQ(b.item(0)->set(0)->title(), u"セット");
  EXPECT_EQ(b.item(0)->set(0)->disc(0)->title(), u"디스크 1");
  EXPECT_EQ(b.item(0)->set(0)->disc(0)->file_set(0)->files(), a.item(0)->set(0)->disc(0)->file_set(0)->files());
  EXPECT_EQ(b.item(0)->set(0)->disc(0)->file_set(0)->source_path(), u"/r/ü");
}

class AccessorTest : public ContentsModelTest {
 protected:
  void SetUp() override {
    Write("c.ini", Contents() +
                       "[DISCSET01]\nDiscSetTitle=A\n"
                       "[DISC0101]\nDiscTitle=A1\nDiscType=DVD\nVolumeLabel=VOL\nBootImage=/b\nEmulation=PE\n"
                       "[FILESET010101]\nSourcePath=/s\nTargetPath=t\nFile0001=*\n"
                       "[DISC0102]\nDiscTitle=A2\nDiscType=USB\nDiscSize=8000\n"
                       "[DISCSET02]\nDiscSetTitle=B\n[DISC0201]\nDiscTitle=B1\nDiscType=CD\n");
    list_.Load(TopLevel("", Pointer(1, "c.ini")));
    ASSERT_EQ(list_.item_count(), 1);
    item_ = list_.item(0);
  }

  CContentsList list_;
  CContentsItem* item_ = nullptr;
};

TEST_F(AccessorTest, ReadTheCurrentSet) {
  EXPECT_EQ(item_->DiscCount(), 2);
  EXPECT_EQ(item_->DiscTitle(1), u"A2");
  EXPECT_EQ(item_->IsBootable(0), 1);
  EXPECT_EQ(item_->MediaKindOf(1), kMediaUsb);
  EXPECT_EQ(item_->RequiredSize(1), 8000u);
  BootImageSettings boot;
  ASSERT_EQ(item_->GetBootImage(0, &boot), 1);
  EXPECT_EQ(boot.path, u"/b");
  EXPECT_EQ(boot.emulation, kEmulationPreinstall);
  DiscJobSettings settings;
  ASSERT_EQ(item_->GetDiscSettings(0, &settings), 1);
  EXPECT_EQ(settings.volume_label, u"VOL");
  EXPECT_EQ(settings.file_system, kFileSystemIsoJoliet);
  EXPECT_EQ(settings.file_version_number, 0);
  EXPECT_EQ(settings.disc_title, u"A1");
  FileMap map;
  EXPECT_EQ(item_->AddFileSetToMap(0, 0,
                                   [](const CFileSet& set, FileMap* out) {
                                     (*out)[set.source_path()] = set.target_path();
                                     return 1;
                                   },
                                   &map),
            1);
  EXPECT_EQ(map.at(u"/s"), u"t");
  item_->set_current_set(1);
  EXPECT_EQ(item_->DiscCount(), 1);
  EXPECT_EQ(item_->DiscTitle(0), u"B1");
  EXPECT_TRUE(prompter_.records().empty());
}

TEST_F(AccessorTest, MissingElementsAreReported) {
  EXPECT_EQ(item_->DiscTitle(2), u"");
  EXPECT_EQ(item_->FileSetCount(-1), -1);
  EXPECT_EQ(item_->AddFileSetToMap(0, 5, [](const CFileSet&, FileMap*) { return 1; }, nullptr), 0);
  item_->set_current_set(7);
  EXPECT_EQ(item_->DiscCount(), -1);
  EXPECT_EQ(item_->SetAllChecked(0), 0);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 5u);
  for (const auto& record : records) {
    EXPECT_EQ(record.message.icon, PromptIcon::kWarning);
    EXPECT_NE(record.message.text.find(u"( Error Code: 03"), std::u16string::npos);
    EXPECT_NE(record.message.text.find(u"-F0-"), std::u16string::npos);
  }
  EXPECT_NE(records[0].message.text.find(u"030137-F0-"), std::u16string::npos) << "location 311";
}

TEST_F(AccessorTest, CreatedStatusUnchecksAndCompletesTheSet) {
  item_->SetStatus(0, kDiscCreated);
  EXPECT_EQ(item_->IsChecked(0), 0);
  EXPECT_EQ(item_->set(0)->created(), 0);
  EXPECT_EQ(item_->set(1)->disc(0)->checked(), 1);
  item_->SetStatus(1, kDiscError);
  EXPECT_EQ(item_->IsChecked(1), 1);
  item_->SetStatus(1, kDiscCreated);
  EXPECT_EQ(item_->set(0)->created(), 1);
  EXPECT_EQ(item_->set(1)->disc(0)->checked(), 0) << "the other sets are no longer needed";
}

}  // namespace
}  // namespace quenvar::app
