#include "app/guards/battery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

namespace fs = std::filesystem;

// A power supply folder as the kernel lays it out: one folder per supply with attribute files.
class PowerSupplyFolder {
 public:
  PowerSupplyFolder() {
    char pattern[] = "/tmp/quenvar_power_XXXXXX";
    root_ = ::mkdtemp(pattern);
  }
  ~PowerSupplyFolder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void Add(const std::string& name, const std::map<std::string, std::string>& attributes) {
    fs::create_directories(root_ + "/" + name);
    for (const auto& [key, value] : attributes) std::ofstream(root_ + "/" + name + "/" + key) << value << "\n";
  }
  const std::string& path() const { return root_; }

 private:
  std::string root_;
};

TEST(BatteryTest, AcLineFromTheSupplies) {
  {
    PowerSupplyFolder laptop;
    laptop.Add("BAT0", {{"type", "Battery"}, {"status", "Discharging"}});
    laptop.Add("AC", {{"type", "Mains"}, {"online", "0"}});
    EXPECT_EQ(ReadAcLineStatus(laptop.path()), AcLineStatus::kOffline);
    // A second adapter that is plugged in powers the machine.
    laptop.Add("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "1"}});
    EXPECT_EQ(ReadAcLineStatus(laptop.path()), AcLineStatus::kOnline);
  }
  {
    PowerSupplyFolder on_ac;
    on_ac.Add("BAT1", {{"type", "Battery"}});
    on_ac.Add("ADP1", {{"type", "Mains"}, {"online", "1"}});
    EXPECT_EQ(ReadAcLineStatus(on_ac.path()), AcLineStatus::kOnline);
  }
  {
    // A desktop whose only battery is the mouse's, with an unused USB-C port: never on battery.
    PowerSupplyFolder desktop;
    desktop.Add("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}});
    desktop.Add("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "0"}});
    EXPECT_EQ(ReadAcLineStatus(desktop.path()), AcLineStatus::kUnknown);
  }
  {
    // A battery whose adapter cannot be read, and a battery without any adapter: unknown.
    PowerSupplyFolder unreadable;
    unreadable.Add("BAT0", {{"type", "Battery"}});
    EXPECT_EQ(ReadAcLineStatus(unreadable.path()), AcLineStatus::kUnknown);
    unreadable.Add("AC", {{"type", "Mains"}});
    EXPECT_EQ(ReadAcLineStatus(unreadable.path()), AcLineStatus::kUnknown);
  }
  EXPECT_EQ(ReadAcLineStatus("/nonexistent/power_supply"), AcLineStatus::kUnknown);
}

class CheckBatteryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUiLanguage(1033);
    prompter_.SetMainWindow(&owner_token_);
  }
  ScriptedPrompter prompter_;
  ScopedPrompter scoped_{&prompter_};
  int owner_token_ = 0;
};

TEST_F(CheckBatteryTest, OnBatteryAsksAndTheAnswerDecides) {
  PowerSupplyFolder laptop;
  laptop.Add("BAT0", {{"type", "Battery"}});
  laptop.Add("AC", {{"type", "Mains"}, {"online", "0"}});
  prompter_.QueueAnswer(kIdYes);
  EXPECT_EQ(CheckBattery(&owner_token_, laptop.path()), 1);
  prompter_.QueueAnswer(kIdNo);
  EXPECT_EQ(CheckBattery(&owner_token_, laptop.path()), 0);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    EXPECT_EQ(record.message.text, std::u16string(LoadString(ids::kOnBattery)));
    EXPECT_EQ(record.message.caption, std::u16string(LoadString(ids::kAppTitle)));
    EXPECT_EQ(record.message.buttons, PromptButtons::kYesNo);
    EXPECT_EQ(record.message.icon, PromptIcon::kInformation);
    EXPECT_EQ(record.message.owner, &owner_token_);
  }
}

TEST_F(CheckBatteryTest, OnlineOrUnknownGoesOnWithoutAQuestion) {
  PowerSupplyFolder on_ac;
  on_ac.Add("BAT0", {{"type", "Battery"}});
  on_ac.Add("AC", {{"type", "Mains"}, {"online", "1"}});
  prompter_.QueueAnswer(kIdNo);  // would decline, were anything asked
  EXPECT_EQ(CheckBattery(&owner_token_, on_ac.path()), 1);
  EXPECT_EQ(CheckBattery(&owner_token_, "/nonexistent/power_supply"), 1);
  EXPECT_TRUE(prompter_.records().empty());
}

}  // namespace
}  // namespace quenvar::app
