#include "datadisk/names.h"

#include <gtest/gtest.h>

#include "datadisk/datadisk.h"
#include "filesystems/crc32.h"

namespace quillden {
namespace {

TEST(NamesTest, HashIsCrc32OfUpperCasedUtf16le) {
  EXPECT_EQ(fs::Crc32("123456789", 9), 0xCBF43926u);
  const uint8_t bytes[] = {'A', 0, 0xE9, 0, 'B', 0};  // "AéB" little-endian
  EXPECT_EQ(NameHash(u"aéb"), fs::Crc32(bytes, sizeof(bytes)));
  EXPECT_EQ(NameHash(u"Readme.TXT"), NameHash(u"README.txt"));
  EXPECT_NE(NameHash(u"é"), NameHash(u"É"));  // only ASCII letters fold
}

TEST(NamesTest, BadCharactersAreExactlyTheNine) {
  for (char16_t c : std::u16string(u"\\/:*?\"<>|")) {
    EXPECT_TRUE(HasBadCharacter(std::u16string(u"a") + c + u"b")) << static_cast<int>(c);
  }
  EXPECT_FALSE(HasBadCharacter(u"a;b [1] (x) #+,=.txt"));
}

TEST(NamesTest, SortOrderFoldsAsciiOnlyWhenBothStartBelow128) {
  EXPECT_LT(CompareSortNames(u"_x", u"a"), 0);
  EXPECT_LT(CompareSortNames(u"a", u"B"), 0);
  EXPECT_EQ(CompareSortNames(u"abc", u"ABC"), 0);
  EXPECT_LT(CompareSortNames(u"ab", u"abc"), 0);
  // One name at or above 128: plain code units, so 'B' (0x42) before 'a' is irrelevant here but
  // 'Z' (0x5A) sorts before 'é' (0xE9) and 'é' before 'ê'.
  EXPECT_LT(CompareSortNames(u"Zed", u"éa"), 0);
  EXPECT_LT(CompareSortNames(u"éB", u"éa"), 0);  // unfolded: 'B' 0x42 < 'a' 0x61
  EXPECT_GT(CompareSortNames(u"éa", u"éB"), 0);
}

TEST(NamesTest, ShorteningKeepsTheExtension) {
  std::u16string base(117, u'n');
  std::u16string name = base + u".txt";  // 121 characters
  std::u16string short_name = ShortenName(name);
  EXPECT_EQ(short_name.size(), 108u);
  EXPECT_EQ(short_name, std::u16string(104, u'n') + u".txt");
  EXPECT_EQ(ShortenName(std::u16string(150, u'x')), std::u16string(108, u'x'));
  // An "extension" longer than 108 characters is not kept.
  std::u16string long_ext = u"a." + std::u16string(120, u'e');
  EXPECT_EQ(ShortenName(long_ext), long_ext.substr(0, 108));
}

TEST(NamesTest, CounterNamesStayWithin108) {
  std::u16string full = std::u16string(104, u'n') + u".txt";
  EXPECT_EQ(CounterName(full, 0), std::u16string(103, u'n') + u"0.txt");
  EXPECT_EQ(CounterName(full, 0x1f), std::u16string(102, u'n') + u"1f.txt");
  EXPECT_EQ(CounterName(u"a_b.txt", 10), u"a_ba.txt");
  EXPECT_EQ(CounterName(u"noext", 3), u"noext3");
  // A short name close to the limit is cut rather than pushed past 108.
  std::u16string near = std::u16string(103, u'k') + u".txt";  // 107
  EXPECT_EQ(CounterName(near, 0x10).size(), 108u);
  // A name that is all extension leaves room for the counter.
  std::u16string dotted = u"." + std::u16string(107, u'e');
  EXPECT_EQ(CounterName(dotted, 5).size(), 108u);
}

TEST(NamesTest, NormaliseMendsSemicolons) {
  std::u16string name = u"a;b;.txt";
  EXPECT_TRUE(NormaliseName(&name));
  EXPECT_EQ(name, u"a_b_.txt");
  std::u16string plain = u"plain.txt";
  EXPECT_FALSE(NormaliseName(&plain));
}

}  // namespace
}  // namespace quillden
