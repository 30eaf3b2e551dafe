#include "platform/code_page.h"

#include <cstdlib>

#include "gtest/gtest.h"

namespace quenvar::platform {
namespace {

// Sets the locale variables for one test and restores them afterwards.
class ScopedLocale {
 public:
  ScopedLocale(const char* lang, const char* codepage = nullptr) {
    for (const char* name : kNames) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
      unsetenv(name);
    }
    if (lang) setenv("LANG", lang, 1);
    if (codepage) setenv("QUENVAR_CODEPAGE", codepage, 1);
  }
  ~ScopedLocale() {
    for (auto& [name, value] : saved_) {
      if (value)
        setenv(name, value->c_str(), 1);
      else
        unsetenv(name);
    }
  }

 private:
  static constexpr const char* kNames[] = {"LC_ALL", "LC_CTYPE", "LANG", "QUENVAR_CODEPAGE"};
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(CodePageTest, TheLocaleChoosesTheCodePageAndTheOverrideWins) {
  {
    ScopedLocale l(nullptr);
    EXPECT_EQ(AnsiCodePage(), 1252u);
  }
  struct {
    const char* lang;
    uint32_t page;
  } cases[] = {
      {"ja_JP.UTF-8", 932}, {"zh_CN.UTF-8", 936},  {"ko_KR.UTF-8", 949}, {"zh_TW.UTF-8", 950},
      {"zh_HK.UTF-8", 950}, {"de_DE.UTF-8", 1252}, {"C", 1252},
  };
  for (const auto& c : cases) {
    ScopedLocale l(c.lang);
    EXPECT_EQ(AnsiCodePage(), c.page) << c.lang;
  }
  {
    ScopedLocale l("en_US.UTF-8");
    setenv("LC_CTYPE", "ja_JP.UTF-8", 1);  // LC_CTYPE before LANG
    EXPECT_EQ(AnsiCodePage(), 932u);
    setenv("LC_ALL", "ko_KR.UTF-8", 1);  // LC_ALL before both
    EXPECT_EQ(AnsiCodePage(), 949u);
  }
  {
    ScopedLocale l("ja_JP.UTF-8", "936");
    EXPECT_EQ(AnsiCodePage(), 936u);
  }
  {
    ScopedLocale l("ja_JP.UTF-8", "99999x");  // not a number: ignored
    EXPECT_EQ(AnsiCodePage(), 932u);
  }
  {
    ScopedLocale l(nullptr, "4242");  // no such code page
    EXPECT_EQ(AnsiCodePage(), 1252u);
  }
}

TEST(CodePageTest, ConversionsRoundTripAndReplaceWhatCannotBeRepresented) {
  EXPECT_EQ(ToAnsi(u"Caf\u00e9 \u20ac", 1252), "Caf\xe9 \x80");
  EXPECT_EQ(FromAnsi("Caf\xe9 \x80", 1252), u"Caf\u00e9 \u20ac");
  EXPECT_EQ(ToAnsi(u"\u65e5\u672c", 1252), "??");
  std::u16string lone = u"a";
  lone += char16_t(0xD800);
  lone += u"b\U0001F600c";
  EXPECT_EQ(ToAnsi(lone, 932), "a?b?c");  // a lone surrogate and a pair each become one '?'
  // Every byte survives a round trip through 1252, including the five undefined ones.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(ToAnsi(FromAnsi(all, 1252), 1252), all);

  EXPECT_EQ(ToAnsi(u"\u3042\u65e5A", 932),
            "\x82\xa0\x93\xfa"
            "A");
  EXPECT_EQ(FromAnsi("\x82\xa0\x93\xfa"
                     "A",
                     932),
            u"\u3042\u65e5A");
  EXPECT_EQ(FromAnsi("\xc4\xe3\xba\xc3", 936), u"\u4f60\u597d");
  EXPECT_EQ(FromAnsi("\xc7\xd1", 949), u"\ud55c");
  EXPECT_EQ(FromAnsi("\xa4\xa4", 950), u"\u4e2d");
  // A lead byte cut off at the end, and a byte that starts nothing.
  EXPECT_EQ(FromAnsi("A\x82", 932), u"A\ufffd");
  EXPECT_EQ(FromAnsi("\xff"
                     "B\x85\x40",
                     932),
            u"\ufffdB\ufffd@");
  // Large input crosses the internal buffers intact.
  std::u16string big(10000, u'\u3042');
  EXPECT_EQ(FromAnsi(ToAnsi(big, 932), 932), big);

  ScopedLocale l("ja_JP.UTF-8");
  EXPECT_EQ(ToAnsi(u"\u3042"), "\x82\xa0");  // 0 means the system code page
}

TEST(CodePageTest, LeadAndTrailBytesFollowTheCodePage) {
  EXPECT_TRUE(IsLeadByte(0x81, 932));
  EXPECT_TRUE(IsLeadByte(0x9F, 932));
  EXPECT_FALSE(IsLeadByte(0xA0, 932));  // half-width katakana are single bytes
  EXPECT_FALSE(IsLeadByte(0xDF, 932));
  EXPECT_TRUE(IsLeadByte(0xE0, 932));
  EXPECT_FALSE(IsLeadByte(0xFD, 932));
  for (uint32_t page : {936u, 949u, 950u}) {
    EXPECT_FALSE(IsLeadByte(0x80, page));
    EXPECT_TRUE(IsLeadByte(0x81, page));
    EXPECT_TRUE(IsLeadByte(0xFE, page));
    EXPECT_FALSE(IsLeadByte(0xFF, page));
  }
  EXPECT_FALSE(IsLeadByte(0x82, 1252));

  // Trail bytes reach down into ASCII ("\\" closes U+30BD in 932), each page by its own ranges.
  EXPECT_TRUE(IsTrailByte(0x5C, 932));
  EXPECT_FALSE(IsTrailByte(0x7F, 932));
  EXPECT_TRUE(IsTrailByte(0xFC, 932));
  EXPECT_FALSE(IsTrailByte(0xFD, 932));
  EXPECT_FALSE(IsTrailByte(0x7F, 936));
  EXPECT_TRUE(IsTrailByte(0xFE, 936));
  EXPECT_FALSE(IsTrailByte(0x5B, 949));
  EXPECT_TRUE(IsTrailByte(0x61, 949));
  EXPECT_FALSE(IsTrailByte(0x80, 950));
  EXPECT_TRUE(IsTrailByte(0xA1, 950));
  EXPECT_FALSE(IsTrailByte(0x40, 1252));
  ScopedLocale l("ko_KR.UTF-8");
  EXPECT_TRUE(IsLeadByte(0xB0));
  EXPECT_FALSE(IsLeadByte('A'));
  EXPECT_FALSE(IsTrailByte(0x5B));
}

}  // namespace
}  // namespace quenvar::platform
