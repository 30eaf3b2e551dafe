#include "app/contents/created_media_record.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "app/prompting/scripted_prompter.h"
#include "platform/registry.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;
using platform::Utf8ToUtf16;

class CreatedMediaRecordTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("QUENVAR_REGISTRY_ROOT");
    if (old) saved_root_ = old, had_root_ = true;
    setenv("QUENVAR_REGISTRY_ROOT", dir_.Child("registry").c_str(), 1);
  }
  void TearDown() override {
    if (had_root_) setenv("QUENVAR_REGISTRY_ROOT", saved_root_.c_str(), 1);
    else unsetenv("QUENVAR_REGISTRY_ROOT");
  }

  // Two items; item 1 has set A (two DVDs) and set B (one CD); item 2 has one set.
  void WriteConfiguration(const std::string& set_a_title = "Set A") {
    auto write = [this](const std::string& name, const std::string& text) {
      std::ofstream(dir_.Child(name), std::ios::binary) << text;
    };
    write("c1.ini", "[CONTENTS]\nContentsTitle=One\nContentsID=1\n"
                    "[DISCSET01]\nDiscSetTitle=" + set_a_title + "\n"
                    "[DISC0101]\nDiscTitle=A1\nDiscType=DVD\n[DISC0102]\nDiscTitle=A2\nDiscType=DVD\n"
                    "[DISCSET02]\nDiscSetTitle=Set B\n[DISC0201]\nDiscTitle=B1\nDiscType=CD\n");
    write("c2.ini", "[CONTENTS]\nContentsTitle=Two\nContentsID=2\n"
                    "[DISCSET01]\nDiscSetTitle=Only\n[DISC0101]\nDiscTitle=O1\nDiscType=CD\n");
    write("top.ini", "[CONTENTS01]\nIniPath=" + dir_.Child("c1.ini") + "\n[CONTENTS02]\nIniPath=" +
                         dir_.Child("c2.ini") + "\n");
  }

  std::unique_ptr<CContentsList> Start() {
    auto list = std::make_unique<CContentsList>();
    list->Load(Utf8ToUtf16(dir_.Child("top.ini")));
    EXPECT_EQ(list->item_count(), 2);
    EXPECT_EQ(ReadCreatedMediaRecord(*list), 1);
    return list;
  }

  uint32_t Dword(int item, const std::u16string& name) {
    RegistryKey key;
    const std::u16string path = std::u16string(kContentsListKey) + (item == 1 ? u"Contents01" : u"Contents02");
    if (!RegistryKey::Open(RegistryHive::kCurrentUser, path, false, &key).ok()) return 0xDEAD;
    uint32_t value = 0xBAD;
    key.GetDword(name, &value);
    return value;
  }

  platform::ScopedTempDir dir_;
  ScriptedPrompter prompter_;
  ScopedPrompter scope_{&prompter_};
  std::string saved_root_;
  bool had_root_ = false;
};

TEST_F(CreatedMediaRecordTest, FirstStartCreatesEmptyKeys) {
  WriteConfiguration();
  auto list = Start();
  for (int i = 0; i < 2; ++i) {
    const CContentsItem* item = list->item(i);
    EXPECT_EQ(item->created(), 0u);
    for (int s = 0; s < item->set_count(); ++s) {
      for (int d = 0; d < item->set(s)->disc_count(); ++d) {
        EXPECT_EQ(item->set(s)->disc(d)->checked(), 1);
        EXPECT_EQ(item->set(s)->disc(d)->status(), 0u);
      }
    }
  }
  RegistryKey key;
  EXPECT_TRUE(RegistryKey::Open(RegistryHive::kCurrentUser, std::u16string(kContentsListKey) + u"Contents02", false,
                                &key)
                  .ok());
  EXPECT_TRUE(prompter_.records().empty());
}

TEST_F(CreatedMediaRecordTest, PartlyAndFullyCreatedSets) {
  WriteConfiguration();
  {
    auto list = Start();
    list->item(0)->SetStatus(0, kDiscCreated);
    ASSERT_EQ(WriteCreatedMediaRecord(*list), 1);
  }
  EXPECT_EQ(Dword(1, u"Disc0101"), 1u);
  EXPECT_EQ(Dword(1, u"Disc0102"), 0u);
  EXPECT_EQ(Dword(1, u"DiscSet01"), 0u);
  EXPECT_EQ(Dword(1, u"Contents01"), 0u);
  {
    auto list = Start();
    CContentsItem* item = list->item(0);
    EXPECT_EQ(item->set(0)->disc(0)->status(), 1u);
    EXPECT_EQ(item->set(0)->disc(0)->checked(), 0);
    EXPECT_EQ(item->set(0)->disc(1)->checked(), 1);
    EXPECT_EQ(item->set(1)->disc(0)->checked(), 1);
    item->SetStatus(1, kDiscCreated);
    ASSERT_EQ(WriteCreatedMediaRecord(*list), 1);
  }
  EXPECT_EQ(Dword(1, u"DiscSet01"), 1u);
  EXPECT_EQ(Dword(1, u"Contents01"), 1u);
  EXPECT_EQ(Dword(2, u"Contents02"), 0u);
  {
    auto list = Start();
    const CContentsItem* item = list->item(0);
    EXPECT_EQ(item->created(), 1u);
    EXPECT_EQ(item->set(0)->created(), 1);
    EXPECT_EQ(item->set(0)->disc(1)->checked(), 0);
    EXPECT_EQ(item->set(1)->disc(0)->checked(), 0) << "a complete set unchecks the item's other sets";
    EXPECT_EQ(list->item(1)->set(0)->disc(0)->checked(), 1);
  }
}

TEST_F(CreatedMediaRecordTest, StickyOneSurvivesAndRenamingVoidsTheMarks) {
  WriteConfiguration();
  {
    auto list = Start();
    list->item(0)->SetStatus(0, kDiscCreated);
    WriteCreatedMediaRecord(*list);
    // A later run resets the disc (status 0) and writes again: the 1 stays.
    list->item(0)->SetStatus(0, kDiscNone);
    WriteCreatedMediaRecord(*list);
  }
  EXPECT_EQ(Dword(1, u"Disc0101"), 1u);

  WriteConfiguration("Set A (new)");
  {
    auto list = Start();
    const CDiscSet* set = list->item(0)->set(0);
    EXPECT_EQ(set->disc(0)->status(), 0u) << "renamed set: old marks do not count";
    EXPECT_EQ(set->disc(0)->checked(), 1);
    list->item(0)->SetStatus(1, kDiscCreated);
    WriteCreatedMediaRecord(*list);
  }
  EXPECT_EQ(Dword(1, u"Disc0101"), 1u) << "old value kept by the sticky rule";
  {
    auto list = Start();
    const CDiscSet* set = list->item(0)->set(0);
    EXPECT_EQ(set->disc(0)->status(), 1u) << "the old mark counts again under the new title";
    EXPECT_EQ(set->disc(1)->status(), 1u);
  }
}

TEST_F(CreatedMediaRecordTest, LongTitleRoundTrips) {
  WriteConfiguration(std::string(259, 'T'));
  {
    auto list = Start();
    EXPECT_EQ(list->item(0)->set(0)->title().size(), 259u);
    list->item(0)->SetStatus(0, kDiscCreated);
    WriteCreatedMediaRecord(*list);
  }
  auto list = Start();
  EXPECT_EQ(list->item(0)->set(0)->disc(0)->status(), 1u);
}

TEST_F(CreatedMediaRecordTest, UnopenableRegistryIsReportedOnceAndWritingFailsSilently) {
  WriteConfiguration();
  CContentsList list;
  list.Load(Utf8ToUtf16(dir_.Child("top.ini")));
  ASSERT_EQ(list.item_count(), 2);
  // A root below a plain file can never be created, whoever runs the test.
  std::ofstream(dir_.Child("plain")) << "x";
  setenv("QUENVAR_REGISTRY_ROOT", dir_.Child("plain/registry").c_str(), 1);
  EXPECT_EQ(ReadCreatedMediaRecord(list), 0);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.text, u"Cannot open registry.\n");
  ASSERT_TRUE(records[0].message.caption);
  EXPECT_EQ(*records[0].message.caption, u"Quenvar");
  EXPECT_EQ(list.item(1)->set(0)->disc(0)->checked(), 1);
  EXPECT_EQ(WriteCreatedMediaRecord(list), 0);
  EXPECT_EQ(prompter_.records().size(), 1u);
}

}  // namespace
}  // namespace quenvar::app
