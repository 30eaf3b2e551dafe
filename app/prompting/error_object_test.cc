#include "app/prompting/error_object.h"

#include <gtest/gtest.h>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

class ErrorObjectTest : public testing::Test {
 protected:
  void SetUp() override { SetUiLanguage(kLangEnglish); }
  void TearDown() override { SetUiLanguage(kLangEnglish); }

  ScriptedPrompter::Record OnlyRecord() {
    auto records = prompter_.records();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? ScriptedPrompter::Record{} : records.back();
  }

  ScriptedPrompter prompter_;
  ScopedPrompter scope_{&prompter_};
};

TEST_F(ErrorObjectTest, GeneralFormWithEmptyTextUsesTheRestartText) {
  CErrorObject error(kModuleContentsList, 513, kErrorInternal, u"", 8, nullptr);
  const std::u16string expected =
      u"An unexpected error occurred.\r\nPlease quit this application and restart it.\r\n\r\n"
      u"( Error Code: 040201-F0-00000008 )";
  EXPECT_EQ(error.message(), expected);
  const auto record = OnlyRecord();
  EXPECT_EQ(record.message.text, expected);
  EXPECT_EQ(record.message.icon, PromptIcon::kWarning);
  EXPECT_EQ(record.message.buttons, PromptButtons::kOk);
  EXPECT_EQ(record.message.owner, nullptr);
  EXPECT_FALSE(record.message.caption.has_value()) << "no owner and no main window: default caption";
}

TEST_F(ErrorObjectTest, GeneralFormKeepsItsTextAndCutsOnlyTheCode) {
  CErrorObject error(kModuleOrvexApp, 202, 0x08000018, u"Failed.\r\n", 0x1234, nullptr);
  EXPECT_EQ(error.message(), u"Failed.\r\n( Error Code: 1100CA-18-00001234 )");
  CErrorObject wide(0x123, 0x12345, 0x08000026, u"x", 0, nullptr);
  EXPECT_EQ(wide.message(), u"x( Error Code: 12312345-26-00000000 )");
}

TEST_F(ErrorObjectTest, DriveFormAddsTheSenseText) {
  CErrorObject error(kModuleWrenDataCtrl, 459, 0x08000026, 0, 0x2A033000, u"Recording failed.", nullptr);
  EXPECT_EQ(error.message(),
            u"Recording failed.\n"
            u"Failed to read from the media or record to the media.\nThe media may be incompatible.\r\n"
            u"Please change the media and try again.\r\n"
            u"\n( Error Code: 0E01CB-26-2A033000 )");
  EXPECT_EQ(error.command_error(), 0x2A033000u);
}

TEST_F(ErrorObjectTest, SenseTextsByAdditionalSenseCode) {
  struct Case {
    uint32_t asc;
    uint32_t id;
  } cases[] = {{0x03, 15005}, {0x09, 15005}, {0x0C, 15005}, {0x04, 15006}, {0x11, 15007},
               {0x29, 15008}, {0x30, 15009}, {0x31, 15010}, {0x3A, 15011}, {0x73, 15012},
               {0x02, 15013}, {0x74, 15013}, {0x00, 15013}};
  for (const Case& c : cases) {
    // Only the ASC byte decides; operation code, sense key and qualifier do not.
    EXPECT_EQ(CErrorObject::SenseTextId(0xFF0500FF | (c.asc << 8)), c.id) << c.asc;
  }
}

TEST_F(ErrorObjectTest, OwnerRules) {
  int owner_token = 0;
  int main_token = 0;
  const PromptWindow owner = &owner_token;
  const PromptWindow main_window = &main_token;

  // An owner that is not a live window falls to "no owner".
  { CErrorObject error(kModuleDiscSet, 1, kErrorInternal, u"a", 0, owner); }
  prompter_.AddWindow(owner);
  { CErrorObject error(kModuleDiscSet, 2, kErrorInternal, u"b", 0, owner); }
  prompter_.SetMainWindow(main_window);
  { CErrorObject error(kModuleDiscSet, 3, kErrorInternal, u"c", 0, nullptr); }
  { CErrorObject error(kModuleDiscSet, 4, kErrorInternal, u"d", 0, kInvalidWindow); }

  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].message.owner, nullptr);
  EXPECT_FALSE(records[0].message.caption);
  EXPECT_EQ(records[1].message.owner, owner);  // own window: platform default caption
  EXPECT_FALSE(records[1].message.caption);
  for (int i : {2, 3}) {
    EXPECT_EQ(records[i].message.owner, main_window);
    ASSERT_TRUE(records[i].message.caption);
    EXPECT_EQ(*records[i].message.caption, u"Quenvar");
  }
  for (const auto& record : records) EXPECT_EQ(record.message.icon, PromptIcon::kWarning);
}

TEST_F(ErrorObjectTest, UsesTheUserInterfaceLanguage) {
  SetUiLanguage(kLangJapanese);
  CErrorObject error(kModuleContentsList, 513, kErrorInternal, u"", 8, nullptr);
  EXPECT_EQ(error.message(), std::u16string(LoadString(ids::kUnexpectedErrorRestart, kLangJapanese)) +
                                 u"( エラーコード: 040201-F0-00000008 )");
}

TEST(ScriptedPrompterTest, AnswersFromQueueThenDefaults) {
  ScriptedPrompter prompter;
  prompter.QueueAnswer(kIdNo);
  prompter.QueueAnswer(kIdRetryMedia);
  MessageRequest question;
  question.buttons = PromptButtons::kYesNo;
  EXPECT_EQ(prompter.ShowMessage(question), kIdNo);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), kIdRetryMedia);
  EXPECT_EQ(prompter.SelectNextProcess(nullptr, u"Disc 1"), kIdCancel);  // default: Abort
  EXPECT_EQ(prompter.ConfirmCancel(nullptr, u"Quenvar", u"?"), kIdCancel);
  EXPECT_EQ(prompter.ShowMessage(question), kIdYes);
  prompter.QueueAnswer(kIdCancel);  // a Yes/No box has no Cancel: its first button
  EXPECT_EQ(prompter.ShowMessage(question), kIdYes);
  ChoiceRequest choice;
  EXPECT_EQ(prompter.Choose(choice), -1);  // nothing to choose
  choice.lines = {u"a", u"b"};
  prompter.QueueAnswer(5);
  EXPECT_EQ(prompter.Choose(choice), 0);  // out of range on a dialog without Cancel
  prompter.SetDefaultAnswer(ScriptedPrompter::Kind::kChoose, 1);
  EXPECT_EQ(prompter.Choose(choice), 1);
  EXPECT_EQ(prompter.records().size(), 9u);
}

}  // namespace
}  // namespace quenvar::app
