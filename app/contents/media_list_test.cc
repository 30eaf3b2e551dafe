#include "app/contents/media_list.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "platform/unicode.h"
#include "quillden/drive.h"

namespace quenvar::app {
namespace {

constexpr uint32_t kCdWriter = MEDIA_CDR | MEDIA_CDRW;
constexpr uint32_t kDvdWriter = kCdWriter | MEDIA_DVDR | MEDIA_DVDPR | MEDIA_DVDPRW;

// Loads a list from in-memory files: "top" plus one contents file per item.
class MediaListTest : public testing::Test {
 protected:
  void SetUp() override { SetUiLanguage(kLangEnglish); }

  void AddItem(const std::string& title, const std::string& body) {
    const std::string name = "c" + std::to_string(files_.size()) + ".ini";
    files_[name] = "[CONTENTS]\nContentsTitle=" + title + "\nContentsID=" + title + "\n" + body;
    char section[32];
    std::snprintf(section, sizeof section, "[CONTENTS%02d]\n", static_cast<int>(files_.size()));
    top_ += section + std::string("IniPath=") + name + "\n";
  }

  MediaList& Load(uint32_t writable) {
    files_["top"] = top_;
    contents_.Load(u"top", [this](const std::u16string& path) {
      return platform::IniFile::Parse(files_[platform::Utf16ToUtf8(path)]);
    });
    list_ = std::make_unique<MediaList>(&contents_);
    list_->FillSelectors(writable);
    return *list_;
  }

  static std::string Disc(int set, int disc, const std::string& type, const std::string& extra = "") {
    char section[32];
    std::snprintf(section, sizeof section, "[DISC%02d%02d]\n", set, disc);
    return section + std::string("DiscTitle=") + type + " " + std::to_string(set) + "." + std::to_string(disc) +
           "\nDiscType=" + type + "\n" + extra;
  }
  static std::string Set(int set, const std::string& title) {
    char section[32];
    std::snprintf(section, sizeof section, "[DISCSET%02d]\n", set);
    return section + std::string("DiscSetTitle=") + title + "\n";
  }

  std::map<std::string, std::string> files_;
  std::string top_;
  CContentsList contents_;
  std::unique_ptr<MediaList> list_;
  ScriptedPrompter prompter_;
  ScopedPrompter scope_{&prompter_};
};

TEST_F(MediaListTest, SelectorsFollowTheDrivesWriteCapabilities) {
  AddItem("DvdOnly", Set(1, "Two DVDs") + Disc(1, 1, "DVD") + Disc(1, 2, "DVD") + Set(2, "DVD DL") +
                         Disc(2, 1, "DVDDL"));
  AddItem("Mixed", Set(1, "DVD set") + Disc(1, 1, "DVD") + Set(2, "CD and USB") + Disc(2, 1, "CD") +
                       Disc(2, 2, "USB", "DiscSize=4000\n"));
  MediaList& list = Load(kCdWriter);

  EXPECT_EQ(list.SelectorCount(0), 0) << "a CD-only drive hides every DVD set";
  ASSERT_EQ(list.SelectorTitles(1), std::vector<std::u16string>{u"CD and USB"});
  EXPECT_EQ(list.SelectorMap(1), std::vector<uint32_t>{1});
  EXPECT_EQ(contents_.item(1)->current_set(), 1);

  // The hidden item has only its spacer row; it is never counted.
  ASSERT_EQ(list.rows().size(), 3u);
  EXPECT_EQ(list.rows()[0].kind, RowKind::kSpacer);
  EXPECT_EQ(list.rows()[1].kind, RowKind::kSpacer);
  EXPECT_EQ(list.rows()[2].kind, RowKind::kContents);
  EXPECT_EQ(list.rows()[2].title, u"Mixed");
  EXPECT_EQ(list.CheckedCount(), 2);
  EXPECT_EQ(list.CheckedCount(kMediaDvd), 0);
  EXPECT_EQ(list.UsbMask(), 0b10u);
  EXPECT_EQ(list.SelectionSummary(),
            u"Please insert blank media.\r\n    1 CD(s)\r\n   > 4.0GB USB Flash Media\r\n");

  // A DVD writer without dual-layer media offers the DVD sets and the CD+USB set.
  list.FillSelectors(kDvdWriter);
  EXPECT_EQ(list.SelectorTitles(0), std::vector<std::u16string>{u"Two DVDs"});
  EXPECT_EQ(list.SelectorCount(1), 2);
  EXPECT_EQ(contents_.item(1)->current_set(), 0);
  EXPECT_EQ(list.UsbMask(), 0u);
}

TEST_F(MediaListTest, ToggleItemDiscAndExpansion) {
  AddItem("Rec", Set(1, "Three") + Disc(1, 1, "DVD") + Disc(1, 2, "DVD") + Disc(1, 3, "DVD"));
  MediaList& list = Load(kDvdWriter);
  const int contents_row = list.ContentsRow(0);
  ASSERT_EQ(contents_row, 1);
  EXPECT_EQ(list.rows()[1].state_image, kStateCollapsed);
  EXPECT_EQ(list.rows()[1].image, kImageChecked);

  ASSERT_TRUE(list.ToggleExpansion(contents_row));
  ASSERT_EQ(list.rows().size(), 5u);
  EXPECT_EQ(list.rows()[1].state_image, kStateExpanded);
  EXPECT_EQ(list.rows()[3].kind, RowKind::kDisc);
  EXPECT_EQ(list.rows()[3].disc, 1);
  EXPECT_EQ(list.rows()[3].title, u"DVD 1.2");

  // Two of three checked: the item toggle unchecks all three, then checks all three.
  ASSERT_TRUE(list.ToggleDisc(4));
  EXPECT_EQ(list.rows()[1].image, kImagePartly);
  EXPECT_EQ(list.rows()[4].image, kImageUnchecked);
  ASSERT_TRUE(list.ToggleItem(contents_row));
  EXPECT_EQ(list.CheckedCount(), 0);
  EXPECT_EQ(list.rows()[1].image, kImageUnchecked);
  EXPECT_EQ(list.SelectionSummary(), LoadString(ids::kSelectMedia));
  ASSERT_TRUE(list.ToggleItem(contents_row));
  EXPECT_EQ(list.CheckedCount(), 3);
  for (int r = 2; r <= 4; ++r) EXPECT_EQ(list.rows()[r].image, kImageChecked);

  // Unchecking disc by disc: the last one leaves the contents row unchecked.
  for (int r = 2; r <= 4; ++r) list.ToggleDisc(r);
  EXPECT_EQ(list.rows()[1].image, kImageUnchecked);
  EXPECT_EQ(contents_.item(0)->set(0)->display_flag(), 0);

  // Operations on rows of the wrong kind change nothing.
  EXPECT_FALSE(list.ToggleDisc(contents_row));
  EXPECT_FALSE(list.ToggleItem(0));
  EXPECT_FALSE(list.ToggleExpansion(2));
  EXPECT_FALSE(list.ToggleDisc(99));

  ASSERT_TRUE(list.ToggleExpansion(contents_row));
  EXPECT_EQ(list.rows().size(), 2u);
}

TEST_F(MediaListTest, HotZonesAndClicks) {
  EXPECT_EQ(MediaList::HitZone(12, 8, 20), HotZone::kExpand);
  EXPECT_EQ(MediaList::HitZone(7, 8, 20), HotZone::kNone);  // borders are outside
  EXPECT_EQ(MediaList::HitZone(17, 8, 20), HotZone::kNone);
  EXPECT_EQ(MediaList::HitZone(30, 8, 20), HotZone::kContentsCheck);
  EXPECT_EQ(MediaList::HitZone(45, 8, 20), HotZone::kDiscCheck);
  EXPECT_EQ(MediaList::HitZone(45, 2, 20), HotZone::kNone);
  EXPECT_EQ(MediaList::HitZone(45, 15, 20), HotZone::kNone);
  EXPECT_EQ(MediaList::HitZone(45, 14.5, 20), HotZone::kDiscCheck);

  AddItem("Rec", Set(1, "Two") + Disc(1, 1, "CD") + Disc(1, 2, "CD"));
  MediaList& list = Load(kCdWriter);
  EXPECT_EQ(list.Click(1, 12, 8, 20, true, false), ClickEffect::kExpansionChanged);
  ASSERT_EQ(list.rows().size(), 4u);
  // The disc zone on a contents row does not toggle the item.
  EXPECT_EQ(list.Click(1, 45, 8, 20, false, true), ClickEffect::kSelectionChanged);
  EXPECT_EQ(list.CheckedCount(), 2);
  EXPECT_EQ(list.Click(3, 45, 8, 20, false, true), ClickEffect::kSelectionChanged);
  EXPECT_EQ(list.CheckedCount(), 1);

  // During a run the check images only take the focus, the selector is fixed, the images change.
  list.set_running(true);
  EXPECT_EQ(list.rows()[1].image, kImagePartly + kRunImageOffset);
  EXPECT_EQ(list.rows()[2].image, kImageChecked + kRunImageOffset);
  EXPECT_EQ(list.Click(2, 45, 8, 20, false, true), ClickEffect::kFocusOnly);
  EXPECT_EQ(list.Click(1, 30, 8, 20, false, true), ClickEffect::kFocusOnly);
  EXPECT_FALSE(list.ToggleItem(1));
  EXPECT_FALSE(list.SelectEntry(0, 0));
  EXPECT_EQ(list.CheckedCount(), 1);
  list.set_running(false);
  EXPECT_EQ(list.rows()[2].image, kImageChecked);
}

TEST_F(MediaListTest, SelectorChangeReplacesDiscRowsWithTheirOwnChecks) {
  AddItem("Rec", Set(1, "One CD") + Disc(1, 1, "CD") + Set(2, "Two CDs") + Disc(2, 1, "CD") + Disc(2, 2, "CD"));
  MediaList& list = Load(kCdWriter);
  list.ToggleExpansion(1);
  list.ToggleDisc(2);  // uncheck the disc of set 1
  ASSERT_TRUE(list.SelectEntry(0, 1));
  EXPECT_EQ(contents_.item(0)->current_set(), 1);
  ASSERT_EQ(list.rows().size(), 4u);
  EXPECT_EQ(list.rows()[2].title, u"CD 2.1");
  EXPECT_EQ(list.rows()[2].image, kImageChecked);
  EXPECT_EQ(list.CheckedCount(), 2);
  EXPECT_FALSE(list.SelectEntry(0, 2));
  EXPECT_FALSE(list.SelectEntry(5, 0));
  ASSERT_TRUE(list.SelectEntry(0, 0));
  EXPECT_EQ(list.rows()[2].image, kImageUnchecked) << "the first set keeps its unchecked disc";
}

TEST_F(MediaListTest, StatusTextsAndCounts) {
  AddItem("A", Set(1, "S") + Disc(1, 1, "DVD") + Disc(1, 2, "CD"));
  AddItem("B", Set(1, "U") + Disc(1, 1, "USB", "DiscSize=1000\n"));
  AddItem("C", Set(1, "U") + Disc(1, 1, "USB", "DiscSize=2048\n"));
  MediaList& list = Load(kDvdWriter);
  list.ToggleExpansion(list.ContentsRow(0));
  list.SetDiscStatus(0, 0, kDiscRecording);
  list.SetDiscStatus(0, 1, kDiscError);
  list.Fill();
  EXPECT_EQ(list.rows()[1].status, u"Error");
  EXPECT_EQ(list.rows()[2].status, u"   Recording...");
  EXPECT_EQ(list.rows()[3].status, u"   Error");
  // Both USB items are marked, each with its own size.
  EXPECT_EQ(list.UsbMask(), 0b110u);
  EXPECT_EQ(list.SelectionSummary(),
            u"Please insert blank media.\r\n    1 CD(s)\r\n    1 DVD(s)\r\n   > 1.1GB USB Flash Media\r\n"
            u"   > 2.1GB USB Flash Media\r\n");
  list.SetDiscStatus(0, 0, kDiscCreated);
  EXPECT_FALSE(contents_.item(0)->IsChecked(0)) << "a created disc is unchecked";
  EXPECT_EQ(list.CheckedCount(kMediaDvd), 0);
}

TEST_F(MediaListTest, ColumnWidthsKeepTheirFractions) {
  AddItem("A", Set(1, "S") + Disc(1, 1, "CD"));
  MediaList& list = Load(kCdWriter);
  list.InitColumns(600, 1.0);
  ColumnWidths widths = list.ColumnWidthsFor(600, true, 17);
  EXPECT_EQ(widths.title, 225);
  EXPECT_EQ(widths.status, 95);
  EXPECT_EQ(widths.media_set, 280);
  widths = list.ColumnWidthsFor(1200, true, 17);
  EXPECT_EQ(widths.title, 450);
  EXPECT_EQ(widths.media_set, 560);
  EXPECT_EQ(list.ColumnWidthsFor(600, false, 17).status, 78);
  list.InitColumns(1200, 2.0);
  EXPECT_EQ(list.ColumnWidthsFor(1200, true, 0).title, 450);
  list.SetColumnWidths({300, 200, 100}, 600);
  EXPECT_EQ(list.ColumnWidthsFor(300, true, 0).title, 150);
}

}  // namespace
}  // namespace quenvar::app
