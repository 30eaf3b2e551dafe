#include "lumbrel/lumbrel.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "lumbrel_strings.h"
#include "platform/unicode.h"

namespace {

std::u16string Load(int32_t id, int32_t size = 260) {
  std::vector<char16_t> buffer(size > 0 ? size : 1, u'#');
  LoadDLLRes(buffer.data(), id, size);
  return std::u16string(buffer.data(), quenvar::platform::Utf16Length(buffer.data(), buffer.size()));
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

std::u16string Shape(std::u16string_view text) {
  // Conversions and line breaks, the parts a translation must keep.
  std::u16string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n') out += u"N";
    if (text[i] == u'%' && i + 1 < text.size()) out += text.substr(i, 2);
  }
  return out;
}

TEST(LumbrelTablesTest, SixLanguagesWithEveryId) {
  for (int32_t language : lumbrel::kLanguages) {
    SCOPED_TRACE(language);
    for (int32_t id = 2001; id <= 2028; ++id) {
      SCOPED_TRACE(id);
      const std::u16string_view text = lumbrel::Text(language, id);
      const std::u16string_view english = lumbrel::Text(1033, id);
      EXPECT_FALSE(text.empty());
      EXPECT_EQ(Shape(text), Shape(english));
      if (english.find(u"Quenvar") != english.npos) {
        EXPECT_NE(text.find(u"Quenvar"), text.npos);
      }
      if (id == 2027) {
        EXPECT_EQ(text.back(), u'\u2026');
      }
    }
  }
  EXPECT_TRUE(lumbrel::Text(1033, 2000).empty());
  EXPECT_TRUE(lumbrel::Text(1033, 2029).empty());
  EXPECT_EQ(lumbrel::Text(1049, 2017), u"Cancel");  // no table: English
  EXPECT_NE(lumbrel::Text(3076, 2001), lumbrel::Text(1028, 2001));  // Hong Kong has its own wording
}

TEST(LumbrelTest, SubstitutesRecoveryEnvironmentByPlatformVersion) {
  ScopedEnv lang("LANGUAGE", "en_US");
  ScopedEnv lc_all("LC_ALL", "en_US.UTF-8");
  {
    ScopedEnv version("QUENVAR_PLATFORM_VERSION", "6.0");
    EXPECT_EQ(Load(5000), u"Windows Recovery Environment(32bit)");
  }
  {
    ScopedEnv version("QUENVAR_PLATFORM_VERSION", "6.1");
    EXPECT_EQ(Load(5000), u"Windows Recovery Environment(64bit)");
  }
  {
    ScopedEnv version("QUENVAR_PLATFORM_VERSION", "10.0");
    EXPECT_EQ(Load(5000), u"Windows Recovery Environment(64bit)");
  }
  EXPECT_EQ(Load(2018), u"Quenvar");
  EXPECT_EQ(Load(2027), u"Please wait\u2026");
}

TEST(LumbrelTest, FollowsTheUserInterfaceLanguage) {
  ScopedEnv lc_all("LC_ALL", "");
  ScopedEnv lc_messages("LC_MESSAGES", "");
  {
    ScopedEnv lang("LANGUAGE", "ja_JP");
    EXPECT_EQ(Load(2017), u"キャンセル");
  }
  {
    ScopedEnv lang("LANGUAGE", "zh_HK");
    EXPECT_EQ(Load(2001), lumbrel::Text(3076, 2001));
  }
  {
    ScopedEnv lang("LANGUAGE", "ko_KR");
    EXPECT_EQ(Load(2016), u"확인");
  }
}

TEST(LumbrelTest, CutsToTheBufferAndIgnoresBadBuffers) {
  ScopedEnv lang("LANGUAGE", "en_US");
  EXPECT_EQ(Load(2001, 5), u"Syst");
  EXPECT_EQ(Load(2001, 1), u"");
  EXPECT_EQ(Load(1999), u"");  // unknown id: empty text

  char16_t untouched[4] = {u'a', u'b', u'c', 0};
  LoadDLLRes(untouched, 2001, 0);
  LoadDLLRes(untouched, 2001, -5);
  EXPECT_EQ(std::u16string(untouched), u"abc");
  LoadDLLRes(nullptr, 2001, 100);  // nothing happens
}

TEST(LumbrelTest, ClassLoadsWithoutSubstitution) {
  ScopedEnv lang("LANGUAGE", "en_US");
  CLumbrel lumbrel;
  EXPECT_NE(lumbrel.instance(), nullptr);
  CLumbrel copy;
  copy = lumbrel;
  EXPECT_EQ(copy.instance(), lumbrel.instance());

  char16_t buffer[64] = {u'x', 0};
  lumbrel.LoadDLLRes(buffer, 5000, 64);
  EXPECT_EQ(std::u16string(buffer), u"");
  lumbrel.LoadDLLRes(buffer, 2012, 64);
  EXPECT_EQ(std::u16string(buffer), u"USB Flash");
  lumbrel.LoadDLLRes(buffer, 2012, 4);
  EXPECT_EQ(std::u16string(buffer), u"USB");
  lumbrel.LoadDLLRes(buffer, 0xFFFFFFFFu, 64);
  EXPECT_EQ(std::u16string(buffer), u"");
}

TEST(LumbrelTest, ExportsOnlyTheLauncherInterface) {
  void* library = dlopen(LUMBREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "LoadDLLRes"), nullptr);
  auto* counter = static_cast<int32_t*>(dlsym(library, "nLumbrel"));
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(*counter, 0);
  EXPECT_NE(dlsym(library, "_ZN8CLumbrel10LoadDLLResEPDsji"), nullptr);
  EXPECT_NE(dlsym(library, "_ZN8CLumbrelC1Ev"), nullptr);
  EXPECT_NE(dlsym(library, "_ZN8CLumbrelaSERKS_"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN7lumbrel4TextEil"), nullptr);  // internals stay hidden
  dlclose(library);
}

}  // namespace
