#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "gtest/gtest.h"
#include "platform/fault_injection_env.h"
#include "platform/temp_dir.h"

namespace quenvar::platform {
namespace {

constexpr char kSample[] =
    "; the contents of the recovery area\n"
    "junk before sections = x\n"
    "[Contents]\r\n"
    "  Count = 2  \r\n"
    "Title=\"  Recovery Discs  \"\n"
    "Single='it''s'\n"
    "Mismatched=\"abc'\n"
    "OnlyQuote=\"\n"
    "count=99\n"
    "Empty=\n"
    "no equals sign here\n"
    "=no key\n"
    "Negative=-12abc\n"
    "NotNumber=abc\n"
    "[ Disc1 ]\r"
    "Label=DISC ONE\r"
    "[Empty Section]\n"
    "; nothing here\n"
    "[CONTENTS]\n"
    "Count=5\n"
    "Other=hidden by the first section\n"
    "[broken\n"
    "Orphan=1\n"
    "[Last]\n"
    "Key = a=b\n";

TEST(IniFileTest, LooksUpLikeTheProfileFunctions) {
  IniFile ini = IniFile::Parse(kSample, "sample.ini", /*report=*/false);
  EXPECT_EQ(ini.malformed_lines(), 4u);  // junk before sections, no '=', empty key, broken header
  EXPECT_EQ(ini.GetString(u"contents", u"COUNT", u""), u"2");
  EXPECT_EQ(ini.GetString(u"Contents", u"Title", u""), u"  Recovery Discs  ");
  EXPECT_EQ(ini.GetString(u"Contents", u"Single", u""), u"it''s");
  EXPECT_EQ(ini.GetString(u"Contents", u"Mismatched", u""), u"\"abc'");
  EXPECT_EQ(ini.GetString(u"Contents", u"OnlyQuote", u""), u"\"");
  EXPECT_EQ(ini.GetString(u"Contents", u"Empty", u"default"), u"");  // present but empty
  EXPECT_EQ(ini.GetString(u"Contents", u"Missing", u"default  "), u"default");
  EXPECT_EQ(ini.GetString(u"disc1", u"label", u""), u"DISC ONE");
  EXPECT_EQ(ini.GetString(u"Last", u"Key", u""), u"a=b");
  // A repeated section is hidden by the first; keys after a broken header belong nowhere.
  EXPECT_EQ(ini.Find(u"Contents", u"Other"), nullptr);
  EXPECT_EQ(ini.Find(u"broken", u"Orphan"), nullptr);
  EXPECT_EQ(ini.Find(u"Last", u"Orphan"), nullptr);

  EXPECT_TRUE(ini.HasSection(u"empty section"));
  EXPECT_TRUE(ini.KeyNames(u"Empty Section").empty());
  EXPECT_FALSE(ini.HasSection(u"Nowhere"));
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::u16string>{u"Contents", u"Disc1", u"Empty Section", u"Last"}));
  EXPECT_EQ(ini.KeyNames(u"CONTENTS"),
            (std::vector<std::u16string>{u"Count", u"Title", u"Single", u"Mismatched", u"OnlyQuote", u"Empty",
                                         u"Negative", u"NotNumber"}));

  EXPECT_EQ(ini.GetInt(u"Contents", u"Count", 7), 2u);
  EXPECT_EQ(ini.GetInt(u"Contents", u"Negative", 7), static_cast<uint32_t>(-12));
  EXPECT_EQ(ini.GetInt(u"Contents", u"NotNumber", 7), 0u);
  EXPECT_EQ(ini.GetInt(u"Contents", u"Missing", 7), 7u);
}

TEST(IniFileTest, ValuesAreCutToTheCallersBuffer) {
  std::string text = "[S]\nLong=" + std::string(300, 'x') + "\n";
  IniFile ini = IniFile::Parse(text);
  char16_t buffer[260];
  EXPECT_EQ(ini.GetString(u"S", u"Long", u"", buffer, 260), 259u);
  EXPECT_EQ(buffer[259], 0);
  EXPECT_EQ(ini.GetString(u"S", u"Long", u"", buffer, 1), 0u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(ini.GetString(u"S", u"Long", u"", 10), std::u16string(9, u'x'));
  EXPECT_EQ(ini.GetString(u"S", u"Missing", u"abcdef", buffer, 4), 3u);
  EXPECT_EQ(std::u16string(buffer), u"abc");
  // A surrogate pair at the cut is not split.
  IniFile emoji = IniFile::Parse("[S]\nE=ab\xF0\x9F\x98\x80\n");
  EXPECT_EQ(emoji.GetString(u"S", u"E", u"", 4), u"ab");
  EXPECT_EQ(emoji.GetString(u"S", u"E", u"", 5), u"ab\U0001F600");
}

TEST(IniFileTest, DecodesEveryAcceptedEncoding) {
  std::u16string expected = u"\u65e5\u672c\u8a9e";
  // UTF-8 with and without BOM.
  EXPECT_EQ(IniFile::Parse("\xEF\xBB\xBF[S]\nK=\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\n").GetString(u"S", u"K", u""),
            expected);
  EXPECT_EQ(IniFile::Parse("[S]\nK=\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\n").GetString(u"S", u"K", u""), expected);
  // UTF-16LE and UTF-16BE with BOM.
  std::u16string source = u"[S]\r\nK=" + expected + u"\r\n";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char16_t c : source) {
    le += static_cast<char>(c & 0xFF), le += static_cast<char>(c >> 8);
    be += static_cast<char>(c >> 8), be += static_cast<char>(c & 0xFF);
  }
  EXPECT_EQ(IniFile::Parse(le).GetString(u"S", u"K", u""), expected);
  EXPECT_EQ(IniFile::Parse(be).GetString(u"S", u"K", u""), expected);
  // Bytes that are not UTF-8 are read in the system code page.
  setenv("QUENVAR_CODEPAGE", "932", 1);
  EXPECT_EQ(IniFile::Parse("[S]\nK=\x93\xfa\x96\x7b\x8c\xea\n").GetString(u"S", u"K", u""), expected);
  setenv("QUENVAR_CODEPAGE", "1252", 1);
  EXPECT_EQ(IniFile::Parse("[S]\nK=caf\xe9\n").GetString(u"S", u"K", u""), u"caf\u00e9");
  unsetenv("QUENVAR_CODEPAGE");
}

TEST(IniFileTest, LoadTellsAMissingFileFromAnEmptyOne) {
  ScopedTempDir dir;
  IniFile ini;
  EXPECT_EQ(IniFile::Load(dir.Child("missing.ini"), &ini).code(), ENOENT);
  std::ofstream(dir.Child("empty.ini")) << "";
  ASSERT_TRUE(IniFile::Load(dir.Child("empty.ini"), &ini).ok());
  EXPECT_TRUE(ini.SectionNames().empty());
  std::ofstream(dir.Child("a.ini")) << "[A]\nx=1\n";
  FaultInjectionEnv faults;
  faults.FailNthCall(FaultKind::kRead, 1);
  EXPECT_EQ(IniFile::Load(dir.Child("a.ini"), &ini, &faults).code(), EIO);
  ASSERT_TRUE(IniFile::Load(dir.Child("a.ini"), &ini, &faults).ok());
  EXPECT_EQ(ini.GetInt(u"a", u"X", 0), 1u);
}

// Configuration paths come from files others wrote: a device, a FIFO or a huge file is refused at
// once instead of streaming into memory or waiting for a writer.
TEST(IniFileTest, LoadRefusesWhatIsNoRegularFileOrTooLarge) {
  ScopedTempDir dir;
  IniFile ini;
  EXPECT_EQ(IniFile::Load("/dev/zero", &ini).code(), EINVAL);
  EXPECT_EQ(IniFile::Load(dir.path(), &ini).code(), EINVAL);

  const std::string fifo = dir.Child("pipe.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto loading = std::async(std::launch::async, [&] {
    IniFile from_fifo;
    return IniFile::Load(fifo, &from_fifo).code();
  });
  if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the reader go
    if (writer >= 0) ::close(writer);
    FAIL() << "loading a FIFO waits for a writer";
  }
  EXPECT_EQ(loading.get(), EINVAL);

  const std::string big = dir.Child("big.ini");
  std::ofstream(big) << "[A]\nx=1\n";
  std::filesystem::resize_file(big, kMaxIniFileBytes + 1);
  EXPECT_EQ(IniFile::Load(big, &ini).code(), EFBIG);
  std::filesystem::resize_file(big, kMaxIniFileBytes);
  ASSERT_TRUE(IniFile::Load(big, &ini).ok());
  EXPECT_EQ(ini.GetInt(u"A", u"X", 0), 1u);
}

}  // namespace
}  // namespace quenvar::platform
