// Filter installation and removal over a test device configuration.
#include "drive/filter_install.h"

#include <map>
#include <set>

#include <gtest/gtest.h>

#include "quillden/drive.h"
#include "quillden/result.h"

namespace quillden::drive {
namespace {

class TestConfiguration : public DeviceConfiguration {
 public:
  bool ListDevices(bool present_only, std::vector<std::string>* ids) override {
    if (list_fails) return false;
    ids->clear();
    for (const auto& [id, filters] : lists) {
      if (!present_only || !absent.count(id)) ids->push_back(id);
    }
    return true;
  }
  void ReadLowerFilters(const std::string& id, std::vector<std::u16string>* filters) override {
    *filters = lists[id];
  }
  ConfigFailure WriteLowerFilters(const std::string& id, const std::vector<std::u16string>& filters) override {
    ++writes;
    if (write_failure != ConfigFailure::kNone) return write_failure;
    lists[id] = filters;
    return ConfigFailure::kNone;
  }
  ConfigFailure RestartDevice(const std::string& id, bool* reboot) override {
    restarted.push_back(id);
    *reboot = needs_reboot;
    return restart_failure;
  }
  uint32_t LowestSet() override { return lowest_set; }

  std::map<std::string, std::vector<std::u16string>> lists;
  std::set<std::string> absent;
  std::vector<std::string> restarted;
  bool list_fails = false;
  bool needs_reboot = false;
  ConfigFailure write_failure = ConfigFailure::kNone;
  ConfigFailure restart_failure = ConfigFailure::kNone;
  uint32_t lowest_set = 0;
  int writes = 0;
};

class FilterInstallTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDeviceConfigurationForTesting(&config_); }
  void TearDown() override { SetDeviceConfigurationForTesting(nullptr); }
  TestConfiguration config_;
};

TEST_F(FilterInstallTest, NoDevicesMeansInstalled) {
  EXPECT_EQ(DRV_Initialize(), QD_OK);
  config_.list_fails = true;
  EXPECT_EQ(DRV_Initialize(), QD_OK);
  EXPECT_EQ(config_.writes, 0);
}

TEST_F(FilterInstallTest, PresentAnywherePassesUnlessLowestSetAsksForFirst) {
  config_.lists["sr0"] = {u"other", u"RalMotex"};
  EXPECT_EQ(DRV_Initialize(), QD_OK);
  EXPECT_EQ(config_.writes, 0);

  config_.lowest_set = 1;
  config_.lists["sr0"] = {u"a", u"ralmotex", u"b", u"RALMOTEX"};
  EXPECT_EQ(DRV_Initialize(), QD_OK);
  EXPECT_EQ(config_.lists["sr0"], (std::vector<std::u16string>{u"ralmotex", u"a", u"b"}));
  EXPECT_EQ(config_.restarted, std::vector<std::string>{"sr0"});
}

TEST_F(FilterInstallTest, MissingListGetsTheFilterAlone) {
  config_.lists["sr0"] = {};
  config_.lists["sr1"] = {u"ralmotex"};
  EXPECT_EQ(DRV_Initialize(), QD_OK);
  EXPECT_EQ(config_.lists["sr0"], std::vector<std::u16string>{u"ralmotex"});
  EXPECT_EQ(config_.restarted, std::vector<std::string>{"sr0"});
}

TEST_F(FilterInstallTest, FailuresMapToTheirResults) {
  config_.lists["sr0"] = {u"x"};
  config_.needs_reboot = true;
  EXPECT_EQ(DRV_Initialize(), QD_E_RESTART_NEEDED);

  config_.lists["sr0"] = {u"x"};
  config_.needs_reboot = false;
  config_.write_failure = ConfigFailure::kOther;
  EXPECT_EQ(DRV_Initialize(), QD_E_FILTER_INSTALL);
  EXPECT_EQ(config_.lists["sr0"], std::vector<std::u16string>{u"x"});  // nothing rolled forward

  // Lacking rights hands the job to the outside service, which is not running here.
  ::setenv("QUENVAR_SERVICE_SOCKET", "/nonexistent/quenvar-test.sock", 1);
  config_.write_failure = ConfigFailure::kAccessDenied;
  EXPECT_EQ(DRV_Initialize(), QD_E_NO_SERVICE);
  config_.write_failure = ConfigFailure::kNone;
  config_.restart_failure = ConfigFailure::kAccessDenied;
  config_.lists["sr0"] = {u"x"};
  EXPECT_EQ(DRV_Initialize(), QD_E_NO_SERVICE);
  ::unsetenv("QUENVAR_SERVICE_SOCKET");
}

TEST_F(FilterInstallTest, UninstallRemovesEveryEntryOfEveryDevice) {
  config_.lists["sr0"] = {u"ralmotex", u"x", u"Ralmotex"};
  config_.lists["sr1"] = {u"ralmotex"};
  config_.absent.insert("sr1");
  EXPECT_EQ(DRV_Uninstall(), QD_OK);
  EXPECT_EQ(config_.lists["sr0"], std::vector<std::u16string>{u"x"});
  EXPECT_TRUE(config_.lists["sr1"].empty());
  EXPECT_TRUE(config_.restarted.empty());
  config_.lists["sr0"] = {u"ralmotex"};
  config_.write_failure = ConfigFailure::kOther;
  EXPECT_EQ(DRV_Uninstall(), QD_E_FILTER_REMOVE);
  config_.list_fails = true;
  EXPECT_EQ(DRV_Uninstall(), QD_E_FILTER_REMOVE);
}

}  // namespace
}  // namespace quillden::drive
