// The file progress protocol end to end: a worker asks, a message window on the test thread
// answers, the worker acts on each reply.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "datadisk/datadisk_env.h"
#include "platform/fault_injection_env.h"
#include "platform/message_window.h"
#include "platform/temp_dir.h"
#include "platform/unicode.h"
#include "quillden/datadisk.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quillden {
namespace {

namespace pf = quenvar::platform;
constexpr UINT kMessage = 0x8003;

struct Question {
  uint32_t code;
  std::u16string text;
};

class FileProgressTest : public testing::Test {
 protected:
  void SetUp() override {
    disc_ = MST_CreateDatadisk();
    progress_ = PRG_CreateFileProgress();
    window_ =
        pf::CreateMessageWindow([this](HWND, UINT message, WPARAM code, LPARAM text) -> LRESULT {
          if (message != kMessage) return 0;
          if (code == FP_FINISHED) {
            finished_ = true;
            return 0;
          }
          Question q{static_cast<uint32_t>(code),
                     text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : u""};
          questions_.push_back(q);
          if (code == FP_ASK_NAME && rename_to_.size()) {
            pf::CopyUtf16(rename_to_, reinterpret_cast<char16_t*>(text), MAX_PATH);
          }
          return answer_ ? answer_(q) : 0;
        });
  }
  void TearDown() override {
    SetDatadiskEnvForTesting(nullptr);
    PRG_DestroyFileProgress(progress_);
    pf::DestroyMessageWindow(window_);
    MST_DestroyDatadisk(disc_);
  }

  std::string Write(const std::string& relative) {
    std::string path = dir_.Child(relative);
    std::ofstream(path) << "data";
    return path;
  }
  std::string Mkdir(const std::string& relative) {
    std::string path = dir_.Child(relative);
    mkdir(path.c_str(), 0755);
    return path;
  }
  // Starts an add with the window already set, pumps until FP_FINISHED, returns the worker result.
  uint32_t AddAndWait(const std::string& source, const std::u16string& target) {
    EXPECT_EQ(PRG_SetFileProgressMessage(progress_, window_, kMessage), QD_OK);
    uint32_t started = MST_AddDatadiskFileProgress(disc_, pf::Utf8ToUtf16(source).c_str(),
                                                   target.c_str(), progress_);
    EXPECT_EQ(started, QD_OK);
    return started == QD_OK ? Wait() : started;
  }
  uint32_t Wait() {
    finished_ = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!finished_ && std::chrono::steady_clock::now() < deadline) {
      pf::WaitForMessages(100);
      pf::PumpMessages();
    }
    EXPECT_TRUE(finished_);
    uint32_t result;
    while ((result = PRG_GetFileProgressErrorCode(progress_)) == QD_E_BUSY)
      std::this_thread::yield();
    return result;
  }
  std::vector<uint32_t> Codes() const {
    std::vector<uint32_t> codes;
    for (const auto& q : questions_) codes.push_back(q.code);
    return codes;
  }
  HANDLE Find(const std::u16string& path) {
    return MST_FindFullPathDatadiskFile(disc_, path.c_str(), nullptr);
  }
  size_t ChildCount(const std::u16string& folder) {
    size_t n = 0;
    HANDLE e = folder.empty() ? MST_GetRootDatadiskFile(disc_)
                              : MST_GetChildDatadiskFile(disc_, Find(folder));
    for (; e && e != INVALID_HANDLE_VALUE; e = MST_GetNextDatadiskFile(disc_, e)) ++n;
    return n;
  }

  pf::ScopedTempDir dir_{"datadisk-fp-"};
  HANDLE disc_ = nullptr;
  HANDLE progress_ = nullptr;
  HWND window_ = nullptr;
  bool finished_ = false;
  std::vector<Question> questions_;
  std::function<uint32_t(const Question&)> answer_;
  std::u16string rename_to_;
};

TEST_F(FileProgressTest, WorkerWaitsSuspendedUntilTheWindowIsSet) {
  std::string source = Write("one.txt");
  ASSERT_EQ(MST_AddDatadiskFileProgress(disc_, pf::Utf8ToUtf16(source).c_str(), u"dir", progress_),
            QD_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(PRG_GetFileProgressErrorCode(progress_), QD_E_BUSY);
  EXPECT_EQ(MST_GetRootDatadiskFile(disc_), nullptr);
  ASSERT_EQ(PRG_SetFileProgressMessage(progress_, window_, kMessage), QD_OK);
  EXPECT_EQ(Wait(), QD_OK);
  ASSERT_EQ(questions_.size(), 1u);
  EXPECT_EQ(questions_[0].code, FP_ASK_ADD);
  EXPECT_EQ(questions_[0].text, pf::Utf8ToUtf16(source));
  EXPECT_NE(Find(u"dir\\one.txt"), INVALID_HANDLE_VALUE);
}

TEST_F(FileProgressTest, StartChecksRunOnTheCallersThread) {
  EXPECT_EQ(MST_AddDatadiskFileProgress(disc_, u"/no/such/file", u"", progress_),
            QD_E_SOURCE_MISSING);
  EXPECT_EQ(
      MST_AddDatadiskFileProgress(disc_, pf::Utf8ToUtf16(Write("f")).c_str(), u"x:y", progress_),
      QD_E_BAD_CHARACTER);
  EXPECT_EQ(MST_AddDatadiskFileProgress(disc_, u"/", u"", nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(MST_AddDatadiskFileProgress(nullptr, u"/", u"", progress_), QD_E_INVALID_HANDLE);
}

TEST_F(FileProgressTest, DuplicateKeepReplaceAndMerge) {
  std::string file = Write("dup.txt");
  EXPECT_EQ(AddAndWait(file, u""), QD_OK);
  HANDLE first = Find(u"dup.txt");

  questions_.clear();
  answer_ = [](const Question&) { return 0u; };  // keep the existing entry
  EXPECT_EQ(AddAndWait(file, u""), QD_E_KEEP_EXISTING);
  EXPECT_EQ(Codes(), std::vector<uint32_t>{FP_ASK_DUPLICATE});
  EXPECT_EQ(questions_[0].text, u"dup.txt");
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_KEEP_EXISTING);
  EXPECT_EQ(Find(u"dup.txt"), first);

  answer_ = [](const Question& q) { return q.code == FP_ASK_DUPLICATE ? 1u : 0u; };  // replace
  EXPECT_EQ(AddAndWait(file, u""), QD_OK);
  EXPECT_NE(Find(u"dup.txt"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ChildCount(u""), 1u);

  // A folder replacing a folder merges its contents into the one that is there.
  Mkdir("m1");
  Write("m1/a");
  Mkdir("m2");
  Write("m2/b");
  Write("m2/a");
  EXPECT_EQ(AddAndWait(dir_.Child("m1"), u"merged"), QD_OK);
  questions_.clear();
  EXPECT_EQ(AddAndWait(dir_.Child("m2"), u"merged"), QD_OK);
  EXPECT_EQ(ChildCount(u"merged"), 2u);
  EXPECT_EQ(Codes()[0], FP_ASK_DUPLICATE);
  // Each entry still names its own source: "a" was replaced from m2, "b" came from m2 only.
  for (const char* name : {"a", "b"}) {
    WCHAR source[300] = {};
    ASSERT_EQ(MST_GetSourceFilename(disc_, Find(u"merged\\" + pf::Utf8ToUtf16(name)), source, 300),
              QD_OK);
    EXPECT_EQ(std::u16string(source), pf::Utf8ToUtf16(dir_.Child(std::string("m2/") + name)));
  }
}

TEST_F(FileProgressTest, KeepingAnExistingFolderAddsNoneOfItsContents) {
  Mkdir("k");
  Write("k/one");
  EXPECT_EQ(AddAndWait(dir_.Child("k"), u"k"), QD_OK);
  Write("k/two");
  questions_.clear();
  answer_ = [](const Question&) { return 0u; };
  EXPECT_EQ(AddAndWait(dir_.Child("k"), u"k"), QD_E_KEEP_EXISTING);
  EXPECT_EQ(Codes(), std::vector<uint32_t>{FP_ASK_DUPLICATE});
  EXPECT_EQ(ChildCount(u"k"), 1u);
}

TEST_F(FileProgressTest, CancelInTheMiddleOfAFolderStopsAtOnceAndKeepsWhatWasAdded) {
  Mkdir("c");
  for (int i = 0; i < 10; ++i) Write("c/f" + std::to_string(i));
  int adds = 0;
  answer_ = [&](const Question& q) -> uint32_t {
    if (q.code != FP_ASK_ADD) return 0;
    return ++adds <= 4 ? 0 : FP_REPLY_CANCEL;  // the folder and three files, then cancel
  };
  EXPECT_EQ(AddAndWait(dir_.Child("c"), u"c"), QD_E_CANCELLED);
  EXPECT_EQ(questions_.size(), 5u);  // nothing asked after the cancel
  EXPECT_EQ(ChildCount(u"c"), 3u);
  EXPECT_EQ(MST_GetLastError(disc_), QD_E_CANCELLED);
}

TEST_F(FileProgressTest, NameQuestionsSkipRenameOrKeep) {
  std::string semi = Write("x;y.txt");
  answer_ = [](const Question& q) { return q.code == FP_ASK_NAME ? 1u : 0u; };
  EXPECT_EQ(AddAndWait(semi, u""), QD_E_SKIPPED_NAME);
  EXPECT_EQ(MST_GetRootDatadiskFile(disc_), nullptr);

  questions_.clear();
  rename_to_ = u"chosen.txt";
  answer_ = [](const Question& q) { return q.code == FP_ASK_NAME ? 2u : 0u; };
  EXPECT_EQ(AddAndWait(semi, u""), QD_OK);
  EXPECT_EQ(questions_[0].text, u"x;y.txt");
  EXPECT_NE(Find(u"chosen.txt"), INVALID_HANDLE_VALUE);

  // A name the caller writes must still be a valid name.
  rename_to_ = u"bad/name";
  EXPECT_EQ(AddAndWait(Write("p;q"), u""), QD_E_BAD_CHARACTER);

  // Long and ";" are asked separately; "keep" lets the insertion shorten and mend.
  rename_to_.clear();
  questions_.clear();
  answer_ = nullptr;
  std::string long_name = std::string(110, 'n') + ";.txt";
  EXPECT_EQ(AddAndWait(Write(long_name), u""), QD_OK);
  EXPECT_EQ(Codes(), (std::vector<uint32_t>{FP_ASK_NAME, FP_ASK_NAME, FP_ASK_ADD}));
  EXPECT_NE(Find(std::u16string(104, u'n') + u".txt"), INVALID_HANDLE_VALUE);
}

TEST_F(FileProgressTest, MissingAndUnreadableSourcesAreAsked) {
  std::string gone = Write("gone");
  pf::FaultInjectionEnv env;
  SetDatadiskEnvForTesting(&env);
  // Stat calls on it: the start check, the folder test, then the find data, which finds nothing.
  env.SetPathFilter(gone);
  env.FailNthCall(pf::FaultKind::kStat, 3, ENOENT);
  answer_ = [](const Question& q) { return q.code == FP_ASK_MISSING ? 1u : 0u; };
  EXPECT_EQ(AddAndWait(gone, u""), 0xFFFFFFFFu);  // skipped at the caller's request
  EXPECT_EQ(Codes(), std::vector<uint32_t>{FP_ASK_MISSING});

  // A pipe has attributes, but nothing a disc could hold: at the top and inside a folder.
  env.Reset();
  std::string pipe = dir_.Child("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  questions_.clear();
  answer_ = [](const Question& q) { return q.code == FP_ASK_UNREADABLE ? 1u : 0u; };
  EXPECT_EQ(AddAndWait(pipe, u""), 0xFFFFFFFFu);
  EXPECT_EQ(Codes(), std::vector<uint32_t>{FP_ASK_UNREADABLE});
  questions_.clear();
  answer_ = nullptr;  // "go on"
  EXPECT_EQ(AddAndWait(pipe, u""), QD_OK);
  EXPECT_EQ(Codes(), (std::vector<uint32_t>{FP_ASK_UNREADABLE, FP_ASK_ADD}));

  Mkdir("v");
  Write("v/a");
  ASSERT_EQ(mkfifo(dir_.Child("v/p").c_str(), 0644), 0);
  questions_.clear();
  answer_ = [](const Question& q) { return q.code == FP_ASK_UNREADABLE ? 1u : 0u; };
  EXPECT_EQ(AddAndWait(dir_.Child("v"), u"v"), QD_OK);
  EXPECT_EQ(Codes(), (std::vector<uint32_t>{FP_ASK_ADD, FP_ASK_ADD, FP_ASK_UNREADABLE}));
  EXPECT_EQ(ChildCount(u"v"), 1u);
}

TEST_F(FileProgressTest, ExistenceCheckAsksAndHonoursEachReply) {
  std::string keep = Write("keep");
  std::string gone1 = Write("gone1");
  std::string gone2 = Write("gone2");
  for (const auto& s : {keep, gone1, gone2}) ASSERT_EQ(AddAndWait(s, u""), QD_OK);
  unlink(gone1.c_str());
  unlink(gone2.c_str());
  questions_.clear();
  answer_ = [](const Question& q) -> uint32_t {
    if (q.code != FP_ASK_MISSING) return 0;
    return q.text.ends_with(u"gone1") ? 1u : 0u;  // delete gone1, keep gone2
  };
  ASSERT_EQ(MST_ExistCheckDatadiskFile(disc_, progress_), QD_OK);
  EXPECT_EQ(Wait(), QD_OK);
  EXPECT_EQ(Codes(), (std::vector<uint32_t>{FP_CHECKING, FP_ASK_MISSING, FP_CHECKING,
                                            FP_ASK_MISSING, FP_CHECKING}));
  EXPECT_EQ(Find(u"gone1"), INVALID_HANDLE_VALUE);
  EXPECT_NE(Find(u"gone2"), INVALID_HANDLE_VALUE);

  // A cancel on FP_CHECKING ends the check after that entry.
  questions_.clear();
  answer_ = [](const Question& q) { return q.code == FP_CHECKING ? FP_REPLY_CANCEL : 0u; };
  ASSERT_EQ(MST_ExistCheckDatadiskFile(disc_, progress_), QD_OK);
  EXPECT_EQ(Wait(), QD_E_CANCELLED);
  EXPECT_EQ(Codes(), (std::vector<uint32_t>{FP_CHECKING, FP_ASK_MISSING}));  // gone2 comes first
}

}  // namespace
}  // namespace quillden
