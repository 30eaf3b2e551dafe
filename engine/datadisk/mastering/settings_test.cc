#include <gtest/gtest.h>

#include "datadisk/datadisk.h"
#include "datadisk/mastering/test_util.h"
#include "quillden/result.h"

namespace quillden::mastering {
namespace {

using testing::DiscHolder;
using testing::ScratchFolder;

TEST(SettingsTest, VolumeLabel) {
  DiscHolder disc;
  char16_t buffer[33];
  ASSERT_EQ(MST_GetVolumeLabel(disc.get(), buffer), QD_OK);
  EXPECT_EQ(std::u16string(buffer).size(), 15u);  // "YYYYMMDD_HHMMSS"
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u"Backup"), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u"BACKUP 2009"), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u"BACKUP_2009"), QD_OK);
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456"), QD_E_NAME_TOO_LONG);
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u"\u00c9T\u00c9"), QD_E_INVALID_ARGUMENT);
  MST_GetVolumeLabel(disc.get(), buffer);
  EXPECT_EQ(std::u16string(buffer), u"BACKUP_2009");  // failures kept the old label
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"), QD_OK);
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), u""), QD_OK);
  MST_GetVolumeLabel(disc.get(), buffer);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(MST_SetVolumeLabel(disc.get(), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_GetVolumeLabel(disc.get(), nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_SetVolumeLabel(nullptr, u"A"), QD_E_INVALID_HANDLE);
}

TEST(SettingsTest, FileSystemMappingAndClearing) {
  DiscHolder disc;
  EXPECT_EQ(MST_GetFileSystem(disc.get()), MST_FS_ISO9660_JOLIET_UDF102);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  const uint32_t bits[] = {0, 3, 4, 7, 8, 11};
  for (DWORD value = 1; value <= 5; ++value) {
    ASSERT_EQ(MST_SetFileSystem(disc.get(), value), QD_OK);
    EXPECT_EQ(d->file_system, bits[value]);
    EXPECT_EQ(MST_GetFileSystem(disc.get()), value);
  }
  for (uint32_t internal : {1u, 2u}) {
    d->file_system = internal;
    EXPECT_EQ(MST_GetFileSystem(disc.get()), 1u);
  }
  d->file_system = 6;
  EXPECT_EQ(MST_GetFileSystem(disc.get()), 3u);
  d->file_system = 9;
  EXPECT_EQ(MST_GetFileSystem(disc.get()), 0u);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_DRIVER_REQUEST);
  EXPECT_EQ(MST_GetFileSystem(nullptr), QD_E_INVALID_HANDLE);

  ScratchFolder folder;
  disc.Add(folder.Write("a.txt", "x"));
  MST_SetFileSystem(disc.get(), 1);
  ASSERT_NE(MST_GetDatadiskSize(disc.get(), nullptr), ~0ull);
  ASSERT_EQ(d->first_root()->location, 25u);
  // A refused value still clears the positions of the last layout.
  EXPECT_EQ(MST_SetFileSystem(disc.get(), 6), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(d->first_root()->location, 0u);
  EXPECT_EQ(d->first_root()->length, 0u);
  EXPECT_EQ(MST_GetFileSystem(disc.get()), 1u);
}

TEST(SettingsTest, DataModeAndImportedSessions) {
  DiscHolder disc;
  EXPECT_EQ(MST_GetDataMode(disc.get()), 1u);
  EXPECT_EQ(MST_SetDataMode(disc.get(), 2), QD_OK);
  EXPECT_EQ(MST_GetDataMode(disc.get()), 2u);
  EXPECT_EQ(MST_SetDataMode(disc.get(), 3), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(MST_GetDataMode(nullptr), 0u);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  int fake_drive = 0;
  d->imported_drive = &fake_drive;
  d->next_session_start = 12345;
  EXPECT_EQ(MST_SetDataMode(disc.get(), 1), QD_E_INVALID_SETTING);
  EXPECT_EQ(MST_SetFileSystem(disc.get(), 1), QD_E_INVALID_SETTING);
  EXPECT_EQ(MST_GetDataMode(disc.get()), 2u);
  d->imported_drive = nullptr;
  d->data_mode = 7;
  EXPECT_EQ(MST_GetDataMode(disc.get()), 0u);
  EXPECT_EQ(MST_GetLastError(disc.get()), QD_E_DRIVER_REQUEST);
}

TEST(SettingsTest, FileVersionFlagChangesRecords) {
  ScratchFolder folder;
  DiscHolder disc;
  disc.Add(folder.Write("a.txt", "x"));
  MST_SetFileSystem(disc.get(), 1);
  EXPECT_EQ(MST_SetFileVersionNumber(disc.get(), 0), QD_OK);
  ASSERT_NE(MST_GetDatadiskSize(disc.get(), nullptr), ~0ull);
  EXPECT_EQ(MST_SetFileVersionNumber(nullptr, 0), QD_E_INVALID_HANDLE);
  std::shared_ptr<Datadisk> d = Datadisk::FromHandle(disc.get());
  EXPECT_EQ(d->file_version_flag, 0);
}

}  // namespace
}  // namespace quillden::mastering
