#include "filesystems/iso_name.h"

#include <gtest/gtest.h>

namespace quillden::fs {
namespace {

const AnsiCodePage& Cp1252() {
  static std::unique_ptr<AnsiCodePage> page = AnsiCodePage::Create("CP1252");
  return *page;
}

TEST(IsoNameTest, EightThreeRules) {
  const AnsiCodePage& cp = Cp1252();
  EXPECT_EQ(DeriveIsoName(cp, u"report.final.txt", false), "REPORT.F.TXT");
  EXPECT_EQ(DeriveIsoName(cp, u"a b.txt", false), "A_B.TXT");
  EXPECT_EQ(DeriveIsoName(cp, u"my.dir", true), "MY.DIR");
  EXPECT_EQ(DeriveIsoName(cp, u"long_filename_a.txt", false), "LONG_FIL.TXT");
  EXPECT_EQ(DeriveIsoName(cp, u"archive.tar.gz", false), "ARCHIVE..GZ");
  EXPECT_EQ(DeriveIsoName(cp, u"README", false), "README");
  EXPECT_EQ(DeriveIsoName(cp, u"page.html5", false), "PAGE.HTM");
  // A character outside A-Z, 0-9, "_" and "." becomes "_", also one of the code page.
  EXPECT_EQ(DeriveIsoName(cp, u"caf\u00e9-1.txt", false), "CAF__1.TXT");
  // A character the code page lacks is "?" first, then "_".
  EXPECT_EQ(DeriveIsoName(cp, u"\u4e2d.txt", false), "_.TXT");
}

TEST(IsoNameTest, CounterReplacesTheLastBaseBytes) {
  const AnsiCodePage& cp = Cp1252();
  EXPECT_EQ(DeriveIsoNameWithCounter(cp, "LONG_FIL.TXT", false, 0), "LONG_FI0.TXT");
  EXPECT_EQ(DeriveIsoNameWithCounter(cp, "LONG_FIL.TXT", false, 0x1A), "LONG_F1A.TXT");
  EXPECT_EQ(DeriveIsoNameWithCounter(cp, "MY.DIR", true, 3), "MY.DI3");
  EXPECT_EQ(DeriveIsoNameWithCounter(cp, "A.TXT", false, 0x10), "10.TXT");
}

TEST(IsoNameTest, CollisionsInOneFolderGetCounters) {
  FolderIsoNamer namer(Cp1252());
  EXPECT_EQ(namer.Next(u"long_filename_a.txt", false), "LONG_FIL.TXT");
  EXPECT_EQ(namer.Next(u"long_filename_b.txt", false), "LONG_FI0.TXT");
  EXPECT_EQ(namer.Next(u"long_filename_c.txt", false), "LONG_FI1.TXT");
  // A name that needs no change still may not repeat one given before it.
  FolderIsoNamer second(Cp1252());
  EXPECT_EQ(second.Next(u"A B.TXT", false), "A_B.TXT");
  EXPECT_EQ(second.Next(u"A_B.TXT", false), "A_0.TXT");
  // A counter result that is itself taken moves on to the next counter.
  FolderIsoNamer third(Cp1252());
  EXPECT_EQ(third.Next(u"LONG_FI0.TXT", false), "LONG_FI0.TXT");
  EXPECT_EQ(third.Next(u"long_filename_a.txt", false), "LONG_FIL.TXT");
  EXPECT_EQ(third.Next(u"long_filename_b.txt", false), "LONG_FI1.TXT");
}

TEST(IsoNameTest, DoubleByteCharactersStayWhole) {
  std::unique_ptr<AnsiCodePage> cp932 = AnsiCodePage::Create("CP932");
  if (!cp932) GTEST_SKIP() << "iconv has no CP932";
  // U+30BD (katakana SO) is 0x83 0x5C in CP932: its trail byte is a backslash, and U+30A1 is
  // 0x83 0x40; both pairs must pass untouched, and no trail byte is upper-cased.
  std::u16string name = u"\u30bd\u30a1x.txt";
  std::string iso = DeriveIsoName(*cp932, name, false);
  EXPECT_EQ(iso, std::string("\x83\x5c\x83\x40X.TXT"));
  EXPECT_EQ(cp932->ToUtf16(iso), u"\u30bd\u30a1X.TXT");
  // A lead byte cut from its trail byte by the 8-byte limit becomes "_".
  std::string cut = DeriveIsoName(*cp932, u"abcdefg\u30bd.txt", false);
  EXPECT_EQ(cut, "ABCDEFG_.TXT");
}

TEST(AnsiCodePageTest, LongNamesAreCutTo260Bytes) {
  std::u16string long_name(300, u'a');
  EXPECT_EQ(ToAnsiName(Cp1252(), long_name).size(), 260u);
}

}  // namespace
}  // namespace quillden::fs
