#include "app/controllers/wren_img_ctrl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "app/controllers/controller_test_support.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/workflow/image_disc_creator.h"
#include "platform/fault_injection_env.h"
#include "quillden/audio.h"
#include "quillden/drive.h"
#include "quillden/image.h"
#include "quillden/result.h"
#include "quillden/virtual.h"

namespace quenvar::app {
namespace {

using test_support::ControllerTest;
using test_support::InsertBlank;
using test_support::TestRoot;
using test_support::U16;
using test_support::WriteFile;

constexpr uint64_t kMiB = 1024 * 1024;

// A file of size bytes that holds no data (the inspection only looks at its size).
std::string SparseFile(const std::string& name, uint64_t size) {
  const std::string path = WriteFile(name, "");
  std::filesystem::resize_file(path, size);
  return path;
}

std::string RandomBlocks(const std::string& name, size_t blocks, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(blocks * 2048, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return WriteFile(name, bytes);
}

uint32_t MediaIn(int32_t drive_number) {
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  _MEDIAINFORMATION info{};
  DRV_GetMediaInformation(drive, &info);
  DRV_CloseDrive(drive);
  return info.dwMedia;
}

class ImgCtrlTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    ASSERT_TRUE(CWrenCtrl().EnumerateRecorders(&list_));
    ctrl_.set_drive_list(&list_);
  }
  void Settings(const std::string& image, int32_t media_kind, int32_t verify) {
    DiscJobSettings settings;
    settings.image_path = U16(image);
    settings.media_kind = media_kind;
    settings.verify_mode = verify;
    settings.disc_title = u"Recovery Disc 1";
    settings.next_title = u"Recovery Disc 2";
    ctrl_.ApplySettings(settings);
  }
  std::u16string Completion() const {
    return FormatString(ids::kCreatedSuccessfully, {u"Recovery Disc 1"}) +
           FormatString(ids::kWriteDownTitle, {u"Recovery Disc 1"}) +
           FormatString(ids::kWillNowBeCreated, {u"Recovery Disc 2"});
  }

  CWrenImgCtrl ctrl_;
  DriveList list_;
};

TEST(ImageMediaTest, FlagsOfEveryImageMedia) {
  EXPECT_EQ(ImageMediaToFlags(MEDIA_CDROM, 3), 0x6u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_CDRW, 1), 0x6u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDROM, 1), 0x63D0u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDROM, 2), 0xD0u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDR, 1), 0x40D0u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDRW_SEQ, 1), 0x40D0u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDPRW, 1), 0x2300u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDPR, 1), 0x2200u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDPR_DL, 1), 0x2000u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDR_DL, 1), 0x4000u);
  EXPECT_EQ(ImageMediaToFlags(MEDIA_DVDRAM, 1), 0u);
  EXPECT_EQ(ImageMediaToFlags(0, 1), 0u);
}

TEST(ImageMediaTest, IsoSizeThresholds) {
  EXPECT_EQ(IsoSizeToImageMedia(0), MEDIA_CDROM);
  EXPECT_EQ(IsoSizeToImageMedia(700 * kMiB), MEDIA_CDROM);
  EXPECT_EQ(IsoSizeToImageMedia(kIsoCdBlocks * 2048 + 2047), MEDIA_CDROM);
  EXPECT_EQ(IsoSizeToImageMedia((kIsoCdBlocks + 1) * 2048), MEDIA_DVDROM);
  EXPECT_EQ(IsoSizeToImageMedia(kIsoDvdBlocks * 2048), MEDIA_DVDROM);
  EXPECT_EQ(IsoSizeToImageMedia((kIsoDvdBlocks + 1) * 2048), MEDIA_DVDPR_DL);
  EXPECT_EQ(IsoSizeToImageMedia(kIsoDvdDlBlocks * 2048 + 2047), MEDIA_DVDPR_DL);
  EXPECT_EQ(IsoSizeToImageMedia((kIsoDvdDlBlocks + 1) * 2048), 0u);
  EXPECT_EQ(IsoSizeToImageMedia(uint64_t{1} << 43), 0u);
  EXPECT_EQ(IsoSizeToImageMedia(~uint64_t{0}), 0u);
}

TEST_F(ImgCtrlTest, CdSizedIsoGoesOnCdOrAnyRecordableDvdOfTheKind) {
  Settings(SparseFile("700mb.iso", 700 * kMiB), 1, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.isoFile(), 1);
  EXPECT_EQ(ctrl_.trackCount(), 1);
  EXPECT_EQ(ctrl_.imageMedia(), MEDIA_CDROM);
  EXPECT_EQ(ctrl_.writeMode(), 3u);
  EXPECT_EQ(ctrl_.fullEraseRequired(), 0);
  EXPECT_EQ(ctrl_.AllowedImageMedia(), MEDIA_CDR | MEDIA_CDRW);
  Settings(SparseFile("700mb.iso", 700 * kMiB), 2, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.AllowedImageMedia(),
            MEDIA_DVDR | MEDIA_DVDRW_RO | MEDIA_DVDRW_SEQ | MEDIA_DVDPRW | MEDIA_DVDPR);
  Settings(SparseFile("700mb.iso", 700 * kMiB), 3, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.AllowedImageMedia(), MEDIA_DVDPR_DL | MEDIA_DVDR_DL);
}

TEST_F(ImgCtrlTest, DualLayerAndTooLargeIsoFiles) {
  Settings(SparseFile("dl.iso", (kIsoDvdBlocks + 1) * 2048), 3, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.imageMedia(), MEDIA_DVDPR_DL);
  EXPECT_EQ(ctrl_.AllowedImageMedia(), MEDIA_DVDPR_DL | MEDIA_DVDR_DL);
  Settings(SparseFile("dl.iso", (kIsoDvdBlocks + 1) * 2048), 2, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.AllowedImageMedia(), 0u);  // a single-layer kind cannot hold it

  // Too large for any disc: the media check finds nothing acceptable and keeps asking.
  Settings(SparseFile("huge.iso", (kIsoDvdDlBlocks + 1) * 2048), 3, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.imageMedia(), 0u);
  EXPECT_EQ(ctrl_.AllowedImageMedia(), 0u);
  InsertBlank('D', "dvd+r-dl");
  list_.SetSelection(test_support::kDriveD);
  prompter_.QueueAnswer(kIdOk);      // the first media prompt
  prompter_.QueueAnswer(kIdOk);      // "cannot record on this media" (ejected): try again
  prompter_.QueueAnswer(kIdCancel);  // still nothing usable: give up
  prompter_.QueueAnswer(kIdYes);     // really
  std::u16string message = u"Insert a disc.\r\n";
  EXPECT_EQ(ctrl_.CreateImageDisc(&message), QD_E_CANCELLED);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1].rfind(std::u16string(LoadString(ids::kCannotRecordMedia)), 0), 0u);
  EXPECT_EQ(messages[3], std::u16string(LoadString(ids::kAskCancelProcess)));
  EXPECT_EQ(MediaIn(test_support::kDriveD), 0u);
  EXPECT_EQ(ctrl_.busy(), 0);
}

TEST_F(ImgCtrlTest, NamesThatAreNotImagesAreRefusedSayingWhy) {
  // Upper-case ISO is not the ".iso" of a plain image when the file is no disc image.
  const std::string upper = RandomBlocks("RECOVERY.ISO", 4, 1);
  Settings(upper, 1, 0);
  EXPECT_EQ(ctrl_.InspectImage(), QD_E_WRONG_FORM);
  Settings(RandomBlocks("recovery.img", 4, 1), 1, 0);
  EXPECT_EQ(ctrl_.InspectImage(), QD_E_WRONG_FORM);
  Settings(TestRoot() + "/absent.img", 1, 0);
  EXPECT_EQ(ctrl_.InspectImage(), QD_E_WRONG_FORM);
  auto messages = Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind(FormatString(ids::kNotDiscImage, {U16(upper)}), 0), 0u);
  EXPECT_NE(messages[0].find(u"( Error Code: 0F0100-34-"), std::u16string::npos);  // location 256
  EXPECT_EQ(
      messages[1].rfind(FormatString(ids::kNotDiscImage, {U16(TestRoot() + "/recovery.img")}), 0),
      0u);
  EXPECT_EQ(
      messages[2].rfind(FormatString(ids::kOpenFileFailed, {U16(TestRoot() + "/absent.img")}), 0),
      0u);
  prompter_.ClearRecords();
  Settings("", 1, 0);
  EXPECT_EQ(ctrl_.InspectImage(), QD_E_INVALID_ARGUMENT);
  EXPECT_TRUE(Messages().empty());
  // A ".wvm" name that is no disc image is recorded as a plain ISO file.
  Settings(RandomBlocks("plain.wvm", 4, 1), 1, 0);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.isoFile(), 1);
  // A missing ISO file is reported by name (module 15, location 254).
  Settings(TestRoot() + "/missing.iso", 1, 0);
  EXPECT_EQ(ctrl_.InspectImage(), QD_E_INVALID_HANDLE);
  messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(
      messages[0].rfind(FormatString(ids::kOpenFileFailed, {U16(TestRoot() + "/missing.iso")}), 0),
      0u);
  EXPECT_NE(messages[0].find(u"( Error Code: 0F00FE-F1-"), std::u16string::npos);
}

// An ISO file that exists but cannot be opened is reported by name like a missing one; it is never
// taken for an empty image.
TEST_F(ImgCtrlTest, IsoFileThatCannotBeOpenedIsReportedByName) {
  const std::string iso = RandomBlocks("locked.iso", 4, 1);
  platform::FaultInjectionEnv env;
  env.SetPathFilter(iso);
  env.FailNthCall(platform::FaultKind::kOpen, 1, EACCES);
  ctrl_.set_env(&env);
  Settings(iso, 1, 0);
  EXPECT_EQ(ctrl_.InspectImage(), QD_E_INVALID_HANDLE);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind(FormatString(ids::kOpenFileFailed, {U16(iso)}), 0), 0u);
  EXPECT_EQ(env.CallCount(platform::FaultKind::kOpen), 1u);
  // The next look opens it.
  EXPECT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.isoFile(), 1);
}

struct IsoCase {
  char letter;
  int32_t drive;
  const char* kind;
  int32_t media_kind;
  int32_t verify;
};

class IsoRunTest : public ImgCtrlTest, public ::testing::WithParamInterface<IsoCase> {};

TEST_P(IsoRunTest, RecordsComparesAndEjects) {
  const IsoCase run = GetParam();
  InsertBlank(run.letter, run.kind);
  list_.SetSelection(run.drive);
  Settings(RandomBlocks("small.iso", 300, 5), run.media_kind, run.verify);
  std::vector<int> iso_flags;
  ctrl_.set_iso_recording_sink([&](int flag) { iso_flags.push_back(flag); });
  prompter_.QueueAnswer(kIdOk);
  std::u16string message = u"Insert a disc.\r\n";
  ASSERT_EQ(ctrl_.CreateImageDisc(&message), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(message, Completion());
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_EQ(iso_flags, std::vector<int>{1});
  EXPECT_EQ(ctrl_.dataMode(), 1);
  EXPECT_EQ(MediaIn(run.drive), 0u);  // ejected
  EXPECT_EQ(ctrl_.busy(), 0);
  EXPECT_EQ(ctrl_.progress(), nullptr);
  EXPECT_EQ(ui_.execution_states(), (std::vector<uint32_t>{kEsKeepAwake, kEsContinuous}));
  const std::vector<int> displays =
      run.verify ? std::vector<int>{0, -1, 1, -1} : std::vector<int>{0, -1};
  EXPECT_EQ(ui_.display_events(), displays);
}

INSTANTIATE_TEST_SUITE_P(Media, IsoRunTest,
                         ::testing::Values(IsoCase{'F', 6, "cd-r", 1, 2},
                                           IsoCase{'E', 5, "dvd-r", 2, 1},
                                           IsoCase{'D', 4, "dvd+rw", 2, 0}),
                         [](const ::testing::TestParamInfo<IsoCase>& info) {
                           return std::string(1, info.param.letter) + "_verify" +
                                  std::to_string(info.param.verify);
                         });

TEST_F(ImgCtrlTest, DiscImageOfADvdMinusRIsCopiedAndCompared) {
  // The source: a closed DVD-R with a small data disc, made into a disc image file.
  InsertBlank('E', "dvd-r");
  test_support::WriteSomething(test_support::kDriveE);
  const std::string image = TestRoot() + "/source.wvm";
  HANDLE drive = DRV_OpenDrive(test_support::kDriveE);
  ASSERT_NE(drive, nullptr);
  ASSERT_EQ(CPY_CreateDiskImage(drive, U16(image).c_str(), nullptr), 0u);
  DRV_CloseDrive(drive);

  Settings(image, 2, 2);
  ASSERT_EQ(ctrl_.InspectImage(), 0u);
  EXPECT_EQ(ctrl_.isoFile(), 0);
  EXPECT_EQ(ctrl_.imageMedia(), MEDIA_DVDR);
  EXPECT_EQ(ctrl_.trackCount(), 1);
  EXPECT_EQ(ctrl_.fullEraseRequired(), 1);
  EXPECT_EQ(ctrl_.writeMode(), 3u);
  EXPECT_EQ(ctrl_.AllowedImageMedia(), 0x40D0u);

  InsertBlank('E', "dvd-r");
  list_.SetSelection(test_support::kDriveE);
  std::vector<int> iso_flags;
  ctrl_.set_iso_recording_sink([&](int flag) { iso_flags.push_back(flag); });
  prompter_.QueueAnswer(kIdOk);
  std::u16string message;
  ASSERT_EQ(ctrl_.CreateImageDisc(&message), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(message, Completion());
  EXPECT_EQ(iso_flags, std::vector<int>{0});
  EXPECT_EQ(ui_.display_events(), (std::vector<int>{0, -1, 1, -1}));
  EXPECT_EQ(MediaIn(test_support::kDriveE), 0u);

  // The same image cannot go on CD media: a blank CD-R is refused and ejected.
  InsertBlank('F', "cd-r");
  list_.SetSelection(test_support::kDriveF);
  prompter_.ClearRecords();
  prompter_.QueueAnswer(kIdOk);
  prompter_.QueueAnswer(kIdCancel);
  prompter_.QueueAnswer(kIdYes);
  EXPECT_EQ(ctrl_.CreateImageDisc(&message), QD_E_CANCELLED);
  ASSERT_GE(Messages().size(), 2u);
  EXPECT_EQ(Messages()[1].rfind(std::u16string(LoadString(ids::kCannotRecordMedia)), 0), 0u);
  EXPECT_EQ(MediaIn(test_support::kDriveF), 0u);
}

// A DVD-R image that the engine cannot record on a blank DVD-RW (0x0800003F): the disc stays in
// the drive, no error is shown, and the next attempt offers a full erase before recording again.
TEST_F(ImgCtrlTest, RefusedDriveAndMediaCombinationOffersAFullErase) {
  InsertBlank('E', "dvd-r");
  test_support::WriteSomething(test_support::kDriveE);
  const std::string image = TestRoot() + "/refused.wvm";
  HANDLE drive = DRV_OpenDrive(test_support::kDriveE);
  ASSERT_NE(drive, nullptr);
  ASSERT_EQ(CPY_CreateDiskImage(drive, U16(image).c_str(), nullptr), 0u);
  DRV_CloseDrive(drive);

  InsertBlank('E', "dvd-rw");
  test_support::SetTiming('E', 0, 0, 0, 0, 0);
  // An open handle keeps the drive, with its injected fault and command counts, in this process.
  HANDLE held = DRV_OpenDrive(test_support::kDriveE);
  ASSERT_NE(held, nullptr);
  const std::u16string backing = U16(test_support::Backing('E'));
  constexpr BYTE kReserveTrack = 0x53, kBlank = 0xA1, kStartStopUnit = 0x1B;
  auto count = [&](BYTE opcode) {
    DWORD n = 0;
    EXPECT_EQ(DRV_GetVirtualCommandCount(backing.c_str(), opcode, &n), 0u);
    return n;
  };
  // The track of the copy cannot be reserved on the sequential DVD-RW, once.
  ASSERT_EQ(DRV_InjectVirtualSense(backing.c_str(), kReserveTrack, 1, 0x05, 0x2C, 0x00, 1), 0u);
  const DWORD ejects_before = count(kStartStopUnit);
  const DWORD reserves_before = count(kReserveTrack);
  const DWORD blanks_before = count(kBlank);

  list_.SetSelection(test_support::kDriveE);
  Settings(image, 2, 2);
  prompter_.QueueAnswer(kIdOk);  // the media prompt
  prompter_.QueueAnswer(kIdOk);  // the full erase
  std::u16string message = u"Insert a disc.\r\n";
  ASSERT_EQ(ctrl_.CreateImageDisc(&message), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(message, Completion());
  EXPECT_EQ(count(kReserveTrack) - reserves_before, 2u) << "refused once, then recorded";
  EXPECT_EQ(count(kBlank) - blanks_before, 1u);
  EXPECT_EQ(count(kStartStopUnit) - ejects_before, 1u) << "ejected only at the end";
  DRV_CloseDrive(held);
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rfind(u"Insert a disc.\r\n", 0), 0u);
  EXPECT_EQ(messages[1], std::u16string(LoadString(ids::kAskFullErase)));
  // Two jobs: the refused recording, then recording and comparing.
  EXPECT_EQ(ui_.display_events(), (std::vector<int>{0, -1, 0, -1, 1, -1}));
  EXPECT_EQ(MediaIn(test_support::kDriveE), 0u);
  EXPECT_EQ(ctrl_.busy(), 0);
}

// The disc title (string 0) and first track title of the CD-Text of the disc in drive_number.
std::vector<std::u16string> CdTextTitles(int32_t drive_number) {
  HANDLE drive = DRV_OpenDrive(static_cast<DWORD>(drive_number));
  if (drive == nullptr || drive == INVALID_HANDLE_VALUE) return {};
  std::vector<std::u16string> titles;
  HANDLE disc = AUD_CreateAudiodisk(drive);
  _CDTEXTITEM item{};
  if (disc != INVALID_HANDLE_VALUE && AUD_GetCdTextItem(disc, &item, 0, 0) == QD_OK) {
    std::vector<std::vector<WCHAR>> buffers(item.dwStrings,
                                            std::vector<WCHAR>(item.dwStringLength));
    std::vector<WCHAR*> pointers;
    for (auto& buffer : buffers) pointers.push_back(buffer.data());
    item.ppStrings = pointers.data();
    if (AUD_GetCdTextItem(disc, &item, 0, 0) == QD_OK) {
      for (DWORD i = 0; i < item.dwStrings; ++i) titles.emplace_back(pointers[i]);
    }
  }
  if (disc != INVALID_HANDLE_VALUE) AUD_DestroyAudiodisk(disc);
  DRV_CloseDrive(drive);
  return titles;
}

// The 44-byte header of a WAVE file of CD audio (PCM, 2 channels, 44,100 Hz, 16 bits) holding
// data_bytes bytes of samples.
std::string CdWaveHeader(size_t data_bytes) {
  std::string h;
  auto le = [&h](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) h += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  h += "RIFF";
  le(static_cast<uint32_t>(36 + data_bytes), 4);
  h += "WAVEfmt ";
  le(16, 4);
  le(1, 2);  // PCM
  le(2, 2);
  le(44100, 4);
  le(44100 * 4, 4);
  le(4, 2);
  le(16, 2);
  h += "data";
  le(static_cast<uint32_t>(data_bytes), 4);
  return h;
}

// CD-Text lives in the lead-in, which only a disc recorded at once carries: an image with CD-Text
// goes on the disc at once even when its source was left appendable (which alone would ask for a
// track-by-track recording that keeps the disc open and drops the text).
TEST_F(ImgCtrlTest, DiscImageWithCdTextIsRecordedAtOnceWithItsText) {
  // The source: a one-track audio CD with a disc and a track title.
  InsertBlank('F', "cd-r");
  std::string samples(44100 * 4, '\0');
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<char>((i * 7) & 0xFF);
  const std::string wave = WriteFile("tone.wav", CdWaveHeader(samples.size()) + samples);
  HANDLE drive = DRV_OpenDrive(test_support::kDriveF);
  ASSERT_NE(drive, nullptr);
  HANDLE audio = AUD_CreateAudiodisk(drive);
  ASSERT_NE(audio, INVALID_HANDLE_VALUE);
  ASSERT_EQ(AUD_AddAudioTrack(audio, U16(wave).c_str()), 0u);
  std::u16string disc_title = u"Recovery Tones", track_title = u"First Tone";
  WCHAR* strings[] = {disc_title.data(), track_title.data()};
  _CDTEXTITEM item{0x09, 0, strings, 32, 2};
  ASSERT_EQ(AUD_AddCdTextItem(audio, &item, 0), 0u);
  ASSERT_EQ(AUD_WriteAudiodisk(audio, 3, nullptr), 0u);
  EXPECT_EQ(AUD_DestroyAudiodisk(audio), 0u);
  const std::string image = TestRoot() + "/cdtext.wvm";
  ASSERT_EQ(CPY_CreateDiskImage(drive, U16(image).c_str(), nullptr), 0u);
  DRV_CloseDrive(drive);
  const std::vector<std::u16string> expected{u"Recovery Tones", u"First Tone"};
  ASSERT_EQ(CdTextTitles(test_support::kDriveF), expected) << "the source disc carries the text";

  // The same image marked as taken from an appendable disc (header flags at file offset 44).
  std::string bytes;
  {
    std::ifstream in(image, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(bytes.size(), 48u);
  bytes[44] = static_cast<char>(bytes[44] | CPY_IMAGE_APPENDABLE);
  const std::string appendable = WriteFile("cdtext-open.wvm", bytes);

  struct Run {
    std::string path;
    BOOL append;
    uint32_t inspected_mode;
  };
  for (const Run& run : {Run{image, FALSE, 3}, Run{appendable, TRUE, 1}}) {
    SCOPED_TRACE(run.path);
    HANDLE opened = CPY_OpenDiskImage(U16(run.path).c_str());
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(CPY_IsCdTextDiskImage(opened));
    EXPECT_EQ(CPY_IsAppendDiskImage(opened), run.append);
    EXPECT_EQ(CPY_CloseDiskImage(opened), 0u);

    Settings(run.path, 1, 2);
    ASSERT_EQ(ctrl_.InspectImage(), 0u);
    EXPECT_EQ(ctrl_.isoFile(), 0);
    EXPECT_EQ(ctrl_.imageMedia(), MEDIA_CDR);
    EXPECT_EQ(ctrl_.writeMode(), run.inspected_mode);

    InsertBlank('F', "cd-r");
    HANDLE held = DRV_OpenDrive(test_support::kDriveF);  // keeps the drive's command counts here
    ASSERT_NE(held, nullptr);
    const std::u16string backing = U16(test_support::Backing('F'));
    constexpr BYTE kSendCueSheet = 0x5D;
    DWORD cue_sheets_before = 0;
    ASSERT_EQ(DRV_GetVirtualCommandCount(backing.c_str(), kSendCueSheet, &cue_sheets_before), 0u);

    list_.SetSelection(test_support::kDriveF);
    prompter_.ClearRecords();
    prompter_.QueueAnswer(kIdOk);
    std::u16string message = u"Insert a disc.\r\n";
    ASSERT_EQ(ctrl_.CreateImageDisc(&message), 0u) << ::testing::PrintToString(Messages());
    EXPECT_EQ(message, Completion());
    EXPECT_EQ(ctrl_.writeMode(), 3u);
    DWORD cue_sheets = 0;
    EXPECT_EQ(DRV_GetVirtualCommandCount(backing.c_str(), kSendCueSheet, &cue_sheets), 0u);
    DRV_CloseDrive(held);
    EXPECT_EQ(cue_sheets - cue_sheets_before, 1u) << "recorded at once, with one cue sheet";
    EXPECT_EQ(ui_.display_events(), (std::vector<int>{0, -1, 1, -1})) << "recorded and compared";
    ui_.Clear();
    EXPECT_EQ(MediaIn(test_support::kDriveF), 0u);  // ejected

    test_support::SetTray('F', false);
    EXPECT_EQ(CdTextTitles(test_support::kDriveF), expected) << "the copy's lead-in holds the text";
  }
}

TEST_F(ImgCtrlTest, UnreadableDiscImageAtWriteTimeIsShownAndEjected) {
  InsertBlank('E', "dvd-r");
  Settings(TestRoot() + "/gone.wvm", 2, 0);
  EXPECT_EQ(ctrl_.WriteImageDisc(main_window_, test_support::kDriveE), QD_E_FILE_OPEN);
  const auto records = prompter_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.text,
            FormatString(ids::kOpenFileFailed, {U16(TestRoot() + "/gone.wvm")}));
  EXPECT_EQ(records[0].message.caption, std::u16string(LoadString(ids::kErrorCaption)));
  EXPECT_TRUE(ui_.execution_states().empty());  // no job was started
  EXPECT_EQ(ctrl_.WriteImageDisc(nullptr, test_support::kDriveE), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(ctrl_.WriteImageDisc(main_window_, 25), 0x0800001Du);
}

TEST_F(ImgCtrlTest, CancelWhileRecordingEndsTheDisc) {
  InsertBlank('D', "dvd+rw");
  ASSERT_NO_FATAL_FAILURE(test_support::SetTiming('D', 1500, 1500, 2000, 1000, 3000));  // slow close
  list_.SetSelection(test_support::kDriveD);
  Settings(RandomBlocks("cancel.iso", 600, 9), 2, 2);
  bool cancelled = false;
  ui_.SetPumpHook([&](int) {
    if (!cancelled && ctrl_.progress() != nullptr) {
      cancelled = true;
      ctrl_.CancelJob();
    }
  });
  prompter_.QueueAnswer(kIdOk);
  std::u16string message;
  EXPECT_EQ(ctrl_.CreateImageDisc(&message), QD_E_CANCELLED);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(ctrl_.busy(), 0);
  EXPECT_EQ(ui_.execution_states().back(), kEsContinuous);
  EXPECT_EQ(MediaIn(test_support::kDriveD), 0u);
}

TEST_F(ImgCtrlTest, CreatorHandsTheRunsDiscToTheController) {
  InsertBlank('F', "cd-r");
  list_.SetSelection(test_support::kDriveF);
  ImageMediumCreator creator(&ctrl_, nullptr);
  JobProgress job;
  EXPECT_FALSE(creator.GetProgress(&job));
  DiscJob disc;
  disc.settings.image_path = U16(RandomBlocks("creator.iso", 64, 3));
  disc.settings.media_kind = 1;
  disc.settings.verify_mode = 2;
  disc.settings.disc_title = u"Image Disc";
  disc.prompt_text = u"Image Disc will be created now.\r\n";
  prompter_.QueueAnswer(kIdOk);
  std::u16string message = disc.prompt_text;
  EXPECT_EQ(creator.Create(disc, &message), 0u) << ::testing::PrintToString(Messages());
  EXPECT_EQ(Messages()[0].rfind(u"Image Disc will be created now.\r\n", 0), 0u);
  // The completion text goes back to the run for the next disc's prompt.
  EXPECT_EQ(message, FormatString(ids::kCreatedSuccessfully, {u"Image Disc"}) +
                         FormatString(ids::kWriteDownTitle, {u"Image Disc"}));
  EXPECT_EQ(ctrl_.discTitle(), u"Image Disc");
  EXPECT_EQ(creator.progress(), nullptr);
}

}  // namespace
}  // namespace quenvar::app
