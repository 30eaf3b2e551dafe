#include "app/resources/string_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/resources/string_ids.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

std::string U8(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

// The printf conversions of a text, in order ("%%" excluded).
std::vector<std::u16string> Conversions(std::u16string_view text) {
  std::vector<std::u16string> out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') continue;
    size_t j = i + 1;
    while (j < text.size() && std::u16string_view(u"0123456789.-+ #").find(text[j]) != std::u16string_view::npos) ++j;
    if (j < text.size() && text[j] == u'%' && j == i + 1) {
      i = j;
      continue;
    }
    out.emplace_back(text.substr(i, j - i + 1));
    i = j;
  }
  return out;
}

// The line breaks of a text in order: "\r\n" and lone "\n" are told apart.
std::u16string LineBreaks(std::u16string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
      out += u"R";
      ++i;
    } else if (text[i] == u'\n') {
      out += u"N";
    } else if (text[i] == u'\r') {
      out += u"C";
    }
  }
  return out;
}

bool HasNonAscii(std::u16string_view text) {
  for (char16_t c : text) {
    if (c > 0x7F) return true;
  }
  return false;
}

TEST(StringTableTest, EveryLanguageHasEveryIdWithSameConversionsAndBreaks) {
  const auto english = StringTable(kLangEnglish);
  ASSERT_FALSE(english.empty());
  for (LangId language : SupportedLanguages()) {
    SCOPED_TRACE(language);
    const auto table = StringTable(language);
    ASSERT_EQ(table.size(), english.size());
    for (size_t i = 0; i < table.size(); ++i) {
      SCOPED_TRACE(english[i].id);
      if (i > 0) {
        EXPECT_LT(table[i - 1].id, table[i].id) << "sorted and unique";
      }
      ASSERT_EQ(table[i].id, english[i].id);
      EXPECT_FALSE(table[i].text.empty());
      EXPECT_EQ(Conversions(table[i].text), Conversions(english[i].text)) << U8(table[i].text);
      EXPECT_EQ(LineBreaks(table[i].text), LineBreaks(english[i].text)) << U8(table[i].text);
      if (english[i].text.find(u"Quenvar") != std::u16string_view::npos) {
        EXPECT_NE(table[i].text.find(u"Quenvar"), std::u16string_view::npos) << "product name kept";
      }
      if (language != kLangEnglish && english[i].id != ids::kAppTitle) {
        EXPECT_TRUE(HasNonAscii(table[i].text)) << "left untranslated: " << U8(table[i].text);
      }
    }
  }
}

TEST(StringTableTest, EveryLanguageHasEveryDialogItem) {
  const auto english = DialogTable(kLangEnglish);
  for (LangId language : SupportedLanguages()) {
    SCOPED_TRACE(language);
    const auto table = DialogTable(language);
    ASSERT_EQ(table.size(), english.size());
    for (size_t i = 0; i < table.size(); ++i) {
      SCOPED_TRACE(testing::Message() << english[i].dialog << "/" << english[i].item);
      ASSERT_EQ(table[i].dialog, english[i].dialog);
      ASSERT_EQ(table[i].item, english[i].item);
      if (i > 0) {
        EXPECT_TRUE(table[i - 1].dialog < table[i].dialog ||
                    (table[i - 1].dialog == table[i].dialog && table[i - 1].item < table[i].item));
      }
      EXPECT_EQ(Conversions(table[i].text), Conversions(english[i].text));
      EXPECT_EQ(LineBreaks(table[i].text), LineBreaks(english[i].text));
      // Titles that are program names or placeholders stay as they are; so does a Japanese "OK".
      const bool fixed = english[i].text == u"Quenvar" || english[i].text == u"." ||
                         (language == kLangJapanese && english[i].text == u"OK");
      if (language != kLangEnglish && !fixed) {
        EXPECT_TRUE(HasNonAscii(table[i].text)) << U8(table[i].text);
      }
    }
  }
}

TEST(StringTableTest, EnglishTextsAreExact) {
  EXPECT_EQ(LoadString(ids::kErrorLine, kLangEnglish), u"( Error Code: %02X%04X-%02X-%08X )");
  EXPECT_EQ(LoadString(ids::kAppTitle, kLangEnglish), u"Quenvar");
  EXPECT_EQ(LoadString(ids::kAboutMenu, kLangEnglish), u"About Quenvar (&A)..");
  // The cancel-while-erasing question ends with a blank after its last line break.
  EXPECT_EQ(LoadString(ids::kAskCancelErase, kLangEnglish).substr(
                LoadString(ids::kAskCancelErase, kLangEnglish).size() - 3),
            u"\r\n ");
  // Two blanks before the size are part of the text.
  EXPECT_EQ(LoadString(ids::kInsertUsb, kLangEnglish), u"Please insert a USB flash memory greater than  %.1fGB. ");
  EXPECT_EQ(LoadString(ids::kSenseIncompatible, kLangEnglish).find(u"media.\nThe"), 47u);
}

TEST(StringTableTest, UsedIdsAreComplete) {
  // Every id the program refers to, and nothing the program never uses.
  std::set<uint32_t> expected = {101, ids::kQuickVerifyMenu, ids::kBootProgramTooLargeForUsb, ids::kAppTitle};
  for (uint32_t id = 15000; id <= 15077; ++id) {
    if (id != 15014 && id != 15015 && id != 15020 && id != 15036 && id != 15044 && id != 15055 &&
        id != 15056 && id != 15057) {
      expected.insert(id);
    }
  }
  expected.insert({ids::kEntryLeavesFolder, ids::kNotDiscImage});
  std::set<uint32_t> actual;
  for (const StringEntry& entry : StringTable(kLangEnglish)) actual.insert(entry.id);
  EXPECT_EQ(actual, expected);
}

TEST(StringTableTest, FallsBackToEnglish) {
  EXPECT_EQ(LoadString(ids::kStatusError, 1049), u"Error");  // no Russian table
  EXPECT_EQ(LoadString(ids::kStatusError, kLangJapanese), u"エラー");
  EXPECT_TRUE(LoadString(15014, kLangEnglish).empty());
  EXPECT_EQ(DialogText(ids::kDlgSelNextProc, ids::kItemRetry, 3076), u"Retry");
  EXPECT_EQ(DialogText(ids::kDlgSelNextProc, ids::kItemRetry, kLangKorean), u"다시 시도");
  EXPECT_TRUE(DialogText(999, 1, kLangEnglish).empty());
}

TEST(StringTableTest, UiLanguageOverrideAndUnknownLanguage) {
  const LangId saved = UiLanguage();
  SetUiLanguage(kLangChineseSimplified);
  EXPECT_EQ(LoadString(ids::kStatusError), u"错误");
  SetUiLanguage(1049);
  EXPECT_EQ(UiLanguage(), kLangEnglish);
  SetUiLanguage(saved);
}

TEST(FormatTextTest, ErrorLineAndOtherConversions) {
  const auto line = LoadString(ids::kErrorLine, kLangEnglish);
  EXPECT_EQ(FormatText(line, {4, 513, 0xF0, 8u}), u"( Error Code: 040201-F0-00000008 )");
  EXPECT_EQ(FormatText(line, {0x11, 202, 0x18, 0xDEADBEEFu}), u"( Error Code: 1100CA-18-DEADBEEF )");
  // Values wider than the field print in full.
  EXPECT_EQ(FormatText(line, {0x123, 0x12345, 0x26, 0u}), u"( Error Code: 12312345-26-00000000 )");
  EXPECT_EQ(FormatText(u"%2d CD(s)\r\n", {3}), u" 3 CD(s)\r\n");
  EXPECT_EQ(FormatText(u"> %.1fGB", {4096.0 / 1024 + 0.1}), u"> 4.1GB");
  EXPECT_EQ(FormatText(u"Now creating %s", {u"Disc 1 \u00e9"}), u"Now creating Disc 1 \u00e9");
  EXPECT_EQ(FormatText(u"100%% %s", {}), u"100% ");        // missing argument: empty
  EXPECT_EQ(FormatText(u"%d-%q-%", {1, 2}), u"1-%q-%");      // unknown conversions stay as written
  EXPECT_EQ(FormatText(u"%08X", {-1}), u"FFFFFFFF");
}

}  // namespace
}  // namespace quenvar::app
