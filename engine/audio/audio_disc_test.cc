// Audio discs end to end on the virtual recorder: WAVE files mastered track at once and session at
// once, ripped back sample for sample, CD-Text written into the lead-in and read back, and the
// refusals of the AUD_ exports.
#include "audio/audio_disc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio/cd_text.h"
#include "audio/wave_file.h"
#include "drive/drive_handle.h"
#include "drive/media_queries.h"
#include "drive/mmc_commands.h"
#include "drive/mmc_vocabulary.h"
#include "drive/recording/recorder.h"
#include "drive/virtual/media_state.h"
#include "drive/virtual/virtual_recorder.h"
#include "platform/env.h"
#include "platform/unicode.h"
#include "quillden/audio.h"
#include "quillden/drive.h"
#include "quillden/progress.h"
#include "quillden/result.h"
#include "util/byte_order.h"

namespace quillden::audio {
namespace {

using quenvar::platform::Env;
using quenvar::platform::Utf8ToUtf16;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::unique_ptr<quenvar::platform::ReadableFile> file;
  if (!Env::Default()->OpenReadable(path, &file).ok()) return {};
  std::vector<uint8_t> bytes(file->Size());
  size_t got = 0;
  file->ReadAt(0, bytes.size(), bytes.data(), &got);
  bytes.resize(got);
  return bytes;
}

bool Exists(const std::string& path) {
  quenvar::platform::FileInfo info;
  return Env::Default()->Stat(path, true, &info).ok();
}

class AudioDiscTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "/audio-test-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Env::Default()->CreateDirectory(dir_);
  }
  void TearDown() override {
    if (disc_ != nullptr && disc_ != INVALID_HANDLE_VALUE) AUD_DestroyAudiodisk(disc_);
    if (drive_ != nullptr) drive::CloseDriveHandle(drive_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);  // the virtual discs are large sparse files
  }

  HANDLE OpenDrive(const std::string& kind) {
    std::string error;
    auto transport = drive::OpenVirtualRecorder(dir_ + "/drive.disc", kind, &error);
    EXPECT_NE(transport, nullptr) << error;
    if (!transport) return nullptr;
    recorder_ = drive::AsVirtualRecorder(transport.get());
    drive_ = drive::OpenDriveOnTransport(std::move(transport), 'V');
    return drive_;
  }

  // A stereo sine tone of frames sample frames (16-bit little-endian), as a WAVE file.
  std::string WriteTone(const std::string& name, uint32_t frames, double hz, uint16_t channels = 2,
                        uint32_t rate = 44100, std::vector<uint8_t>* samples = nullptr) {
    std::vector<uint8_t> data(static_cast<size_t>(frames) * channels * 2);
    for (uint32_t i = 0; i < frames; ++i) {
      const auto left = static_cast<int16_t>(12000 * std::sin(2 * M_PI * hz * i / rate));
      const auto right = static_cast<int16_t>(9000 * std::sin(2 * M_PI * hz * 1.5 * i / rate));
      PutLe16(&data[i * channels * 2], static_cast<uint16_t>(left));
      if (channels == 2) PutLe16(&data[i * 4 + 2], static_cast<uint16_t>(right));
    }
    auto header = BuildWaveHeader(static_cast<uint32_t>(data.size()));
    PutLe16(&header[22], channels);
    PutLe32(&header[24], rate);
    PutLe32(&header[28], rate * channels * 2);
    PutLe16(&header[32], static_cast<uint16_t>(channels * 2));
    const std::string path = dir_ + "/" + name;
    std::unique_ptr<quenvar::platform::WritableFile> out;
    EXPECT_TRUE(Env::Default()
                    ->OpenWritable(path, quenvar::platform::WriteMode::kCreateOrTruncate, &out)
                    .ok());
    out->Append(header.data(), header.size());
    out->Append(data.data(), data.size());
    out->Close();
    if (samples) *samples = data;
    return path;
  }

  DWORD AddTrack(const std::string& path) {
    return AUD_AddAudioTrack(disc_, Utf8ToUtf16(path).c_str());
  }

  DWORD AddText(DWORD language, int type, const std::vector<std::u16string>& strings,
                DWORD double_byte = 0) {
    std::vector<WCHAR*> pointers;
    std::vector<std::u16string> copies = strings;
    for (auto& s : copies) pointers.push_back(s.data());
    _CDTEXTITEM item{language, double_byte, pointers.data(), 64,
                     static_cast<DWORD>(pointers.size())};
    return AUD_AddCdTextItem(disc_, &item, type);
  }

  std::vector<std::u16string> GetText(HANDLE disc, int block, int type, DWORD* result) {
    _CDTEXTITEM item{};
    *result = AUD_GetCdTextItem(disc, &item, block, type);
    if (*result != QD_OK) return {};
    std::vector<std::vector<WCHAR>> buffers(item.dwStrings,
                                            std::vector<WCHAR>(item.dwStringLength));
    std::vector<WCHAR*> pointers;
    for (auto& b : buffers) pointers.push_back(b.data());
    item.ppStrings = pointers.data();
    *result = AUD_GetCdTextItem(disc, &item, block, type);
    std::vector<std::u16string> out;
    for (DWORD i = 0; i < item.dwStrings; ++i) out.emplace_back(pointers[i]);
    return out;
  }

  // Rips track and checks it holds samples followed by silence up to whole sectors.
  void ExpectRippedTrack(WORD track, const std::vector<uint8_t>& samples, uint32_t sectors) {
    const std::string out = dir_ + "/rip" + std::to_string(track) + ".wav";
    _TRACKINFORMATION info{};
    DRV_GetTrackInformation(drive_, track, &info, TRUE);
    ASSERT_EQ(DRV_RippingTrack(drive_, track, nullptr, Utf8ToUtf16(out).c_str()), QD_OK)
        << std::hex << DRV_GetLastCommandError(nullptr) << std::dec << " start " << info.dwStart
        << " size " << info.dwSize << " mode " << info.dwMode;
    const std::vector<uint8_t> file = ReadAll(out);
    ASSERT_EQ(file.size(), 44u + sectors * 2352ull) << "track " << track;
    WaveData wave;
    ASSERT_EQ(ParseWaveFile(Env::Default(), out, &wave), QD_OK);
    EXPECT_EQ(wave.sectors, sectors);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), file.begin() + 44)) << "track " << track;
    EXPECT_TRUE(std::all_of(file.begin() + 44 + static_cast<std::ptrdiff_t>(samples.size()),
                            file.end(), [](uint8_t b) { return b == 0; }))
        << "track " << track;
  }

  void MasterThreeTracks(DWORD write_mode, bool with_text) {
    ASSERT_NE(OpenDrive("cd-r"), nullptr);
    disc_ = AUD_CreateAudiodisk(drive_);
    ASSERT_NE(disc_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(AUD_GetCdTextNumberOfLanguage(disc_), 0);
    ASSERT_EQ(AddTrack(WriteTone("one.wav", 44100, 440, 2, 44100, &samples_[0])),
              QD_OK);  // 1 s: 300 sectors
    ASSERT_EQ(AddTrack(WriteTone("two.wav", 44100 * 5 + 7, 523, 2, 44100, &samples_[1])),
              QD_OK);  // 376 sectors
    ASSERT_EQ(AddTrack(WriteTone("three.wav", 44100 * 4 + 1, 660, 2, 44100, &samples_[2])),
              QD_OK);  // 301
    EXPECT_EQ(AUD_GetNumberOfAudioTrack(disc_), 3);
    if (with_text) {
      ASSERT_EQ(AddText(0x09, 0, {u"Tones", u"Concert A", u"High C", u"E above"}), QD_OK);
      ASSERT_EQ(AddText(0x09, 1, {u"Oscillator", u"Left", u"", u"Right"}), QD_OK);
      ASSERT_EQ(AddText(0x08, 0, {u"T\u00f6ne", u"Kammerton", u"C", u"E"}), QD_OK);
      EXPECT_EQ(AUD_GetCdTextNumberOfLanguage(disc_), 2);
    }
    HANDLE progress = PRG_CreateProgress();
    ASSERT_EQ(AUD_WriteAudiodisk(disc_, write_mode, progress), QD_OK);
    DWORD phase = 0, done = 0, end = 0;
    while (PRG_GetProgressStatus(progress, &phase, &done, &end) == PRG_STATUS_RUNNING) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(PRG_GetProgressErrorCode(progress), QD_OK);
    _SESSIONTRACKPROGRESS tracks{};
    PRG_GetSessionTrackProgress(progress, &tracks);
    EXPECT_EQ(tracks.dwTracks, 3u);
    EXPECT_EQ(tracks.dwTotalSectors, 977u);
    PRG_DestroyProgress(progress);
  }

  std::vector<uint8_t> ReadTocCdText() {
    uint8_t header[4] = {};
    if (drive::ReadToc(drive_, false, 5, 0, header, 4) != QD_OK) return {};
    std::vector<uint8_t> data(GetBe16(header) + 2u);
    EXPECT_EQ(drive::ReadToc(drive_, false, 5, 0, data.data(), static_cast<uint16_t>(data.size())),
              QD_OK);
    return data;
  }

  std::string dir_;
  HANDLE drive_ = nullptr;
  HANDLE disc_ = nullptr;
  drive::VirtualRecorder* recorder_ = nullptr;
  std::vector<uint8_t> samples_[3];
};

TEST_F(AudioDiscTest, SessionAtOnceWithCdTextRipsBackAndReadsBack) {
  MasterThreeTracks(3, true);
  _TOCINFORMATION toc{};
  ASSERT_EQ(DRV_GetTOCInformation(drive_, &toc, sizeof(toc)), QD_OK);
  ASSERT_EQ(toc.bLastTrack, 3);
  EXPECT_EQ(toc.dwAddress[0], 0u);
  EXPECT_EQ(toc.dwAddress[1], 300u);  // tracks follow without a pause
  EXPECT_EQ(toc.dwAddress[2], 676u);
  EXPECT_EQ(toc.dwAddress[3], 977u);
  ExpectRippedTrack(1, samples_[0], 300);
  ExpectRippedTrack(2, samples_[1], 376);
  ExpectRippedTrack(3, samples_[2], 301);

  // The lead-in's packs, checked with a CRC written apart from the engine's.
  const std::vector<uint8_t> toc_text = ReadTocCdText();
  ASSERT_GT(toc_text.size(), 4u);
  ASSERT_EQ((toc_text.size() - 4) % 18, 0u);
  for (size_t at = 4; at < toc_text.size(); at += 18) {
    uint16_t crc = 0;
    for (size_t i = 0; i < 16; ++i) {
      crc ^= static_cast<uint16_t>(toc_text[at + i] << 8);
      for (int b = 0; b < 8; ++b)
        crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    crc = static_cast<uint16_t>(~crc);
    EXPECT_EQ(toc_text[at + 16], crc >> 8);
    EXPECT_EQ(toc_text[at + 17], crc & 0xFF);
  }

  // A new object on the drive reads the text from the disc.
  HANDLE reread = AUD_CreateAudiodisk(drive_);
  ASSERT_NE(reread, INVALID_HANDLE_VALUE);
  EXPECT_EQ(AUD_GetCdTextNumberOfLanguage(reread), 2);
  DWORD result = 0;
  EXPECT_EQ(GetText(reread, 0, 0, &result),
            (std::vector<std::u16string>{u"Tones", u"Concert A", u"High C", u"E above"}));
  EXPECT_EQ(result, QD_OK);
  EXPECT_EQ(GetText(reread, 0, 1, &result),
            (std::vector<std::u16string>{u"Oscillator", u"Left", u"", u"Right"}));
  EXPECT_EQ(GetText(reread, 1, 0, &result),
            (std::vector<std::u16string>{u"T\u00f6ne", u"Kammerton", u"C", u"E"}));
  _CDTEXTITEM sizes{};
  ASSERT_EQ(AUD_GetCdTextItem(reread, &sizes, 0, 0), QD_OK);
  EXPECT_EQ(sizes.dwStrings, 4u);
  EXPECT_EQ(sizes.dwStringLength, 10u);  // "Concert A" + 1
  EXPECT_EQ(sizes.dwLanguage, 0x09u);
  EXPECT_EQ(AUD_GetCdTextItem(reread, &sizes, 0, 2), QD_E_INVALID_ARGUMENT);  // no songwriters
  EXPECT_EQ(AUD_GetCdTextItem(reread, &sizes, 2, 0), QD_E_INVALID_ARGUMENT);  // no third language
  EXPECT_EQ(AUD_GetCdTextItem(reread, &sizes, 8, 0), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AUD_GetCdTextItem(reread, &sizes, 0, 15), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AUD_DestroyAudiodisk(reread), QD_OK);
  EXPECT_EQ(AUD_DestroyAudiodisk(reread), QD_E_INVALID_HANDLE);
}

TEST_F(AudioDiscTest, TrackAtOnceWritesNoCdText) {
  MasterThreeTracks(2, true);
  ExpectRippedTrack(1, samples_[0], 300);
  ExpectRippedTrack(2, samples_[1], 376);
  ExpectRippedTrack(3, samples_[2], 301);
  // The pregap written before track 2 reads back as audio silence.
  _TRACKINFORMATION second{};
  ASSERT_NE(DRV_GetTrackInformation(drive_, 2, &second, FALSE), 0);
  ASSERT_GT(second.dwStart, 300u);
  std::vector<uint8_t> gap(2352, 0xEE);
  ASSERT_EQ(drive::ReadCd(drive_, 1, second.dwStart - 1, gap.data(), 2352, 2352, 0), QD_OK);
  EXPECT_TRUE(std::all_of(gap.begin(), gap.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(ReadTocCdText().empty());
  HANDLE reread = AUD_CreateAudiodisk(drive_);
  ASSERT_NE(reread, INVALID_HANDLE_VALUE);
  EXPECT_EQ(AUD_GetCdTextNumberOfLanguage(reread), 0);
  _CDTEXTITEM item{};
  EXPECT_EQ(AUD_GetCdTextItem(reread, &item, 0, 0), QD_E_NO_DRIVE);
  AUD_DestroyAudiodisk(reread);
  // The disc was closed: recording again is refused before the drive is written.
  EXPECT_EQ(AUD_WriteAudiodisk(disc_, 1, nullptr), QD_E_MEDIA_NOT_WRITABLE);
}

TEST_F(AudioDiscTest, SessionAtOnceAfterAnOpenSessionContinuesTrackNumbers) {
  ASSERT_NE(OpenDrive("cd-r"), nullptr);
  disc_ = AUD_CreateAudiodisk(drive_);
  std::vector<uint8_t> first, second;
  ASSERT_EQ(AddTrack(WriteTone("first.wav", 44100 * 4, 440, 2, 44100, &first)), QD_OK);
  ASSERT_EQ(AUD_WriteAudiodisk(disc_, 1, nullptr), QD_OK);  // track at once, disc left open
  ASSERT_EQ(AUD_DeleteAudioTrack(disc_, 1), QD_OK);
  ASSERT_EQ(AddTrack(WriteTone("second.wav", 44100 * 6, 330, 2, 44100, &second)), QD_OK);
  // Text is only recorded into the first lead-in: a later session records none.
  ASSERT_EQ(AddText(0x09, 0, {u"Later", u"Second"}), QD_OK);
  ASSERT_EQ(AUD_WriteAudiodisk(disc_, 3, nullptr), QD_OK);
  EXPECT_EQ(DRV_GetLastTrack(drive_), 2);
  ExpectRippedTrack(1, first, 300);
  ExpectRippedTrack(2, second, 450);
  EXPECT_TRUE(ReadTocCdText().empty());
}

// Opening a chosen file fails from its nth opening on.
class VanishingFileEnv : public quenvar::platform::EnvWrapper {
 public:
  VanishingFileEnv(std::string path, int nth)
      : EnvWrapper(Env::Default()), path_(std::move(path)), nth_(nth) {}
  quenvar::platform::Status OpenReadable(
      const std::string& path, std::unique_ptr<quenvar::platform::ReadableFile>* file) override {
    if (path == path_ && ++opened_ >= nth_)
      return quenvar::platform::Status::FromErrno(ENOENT, "open " + path);
    return EnvWrapper::OpenReadable(path, file);
  }

 private:
  std::string path_;
  int nth_;
  int opened_ = 0;
};

TEST_F(AudioDiscTest, TrackFileVanishingDuringRecordingIsTheErrorFile) {
  for (DWORD mode : {DWORD{3}, DWORD{2}}) {
    ASSERT_NE(OpenDrive(mode == 3 ? "cd-r" : "cd-rw"), nullptr);
    disc_ = AUD_CreateAudiodisk(drive_);
    const std::string second = WriteTone("vanish.wav", 1000, 440);
    ASSERT_EQ(AddTrack(WriteTone("stays.wav", 1000, 440)), QD_OK);
    // Opened when added, when the job is checked, then by the worker: that third time it is gone.
    VanishingFileEnv env(second, 3);
    SetAudioEnvForTesting(&env);
    ASSERT_EQ(AddTrack(second), QD_OK);
    EXPECT_EQ(AUD_WriteAudiodisk(disc_, mode, nullptr), QD_E_READ_FILE);
    SetAudioEnvForTesting(nullptr);
    WCHAR name[MAX_PATH + 1];
    EXPECT_EQ(AUD_GetErrorWavFileName(disc_, name), 2);
    EXPECT_EQ(std::u16string(name), Utf8ToUtf16(second));
    AUD_DestroyAudiodisk(disc_);
    disc_ = nullptr;
    drive::CloseDriveHandle(drive_);
    drive_ = nullptr;
    Env::Default()->RemoveFile(dir_ + "/drive.disc.state");
    Env::Default()->RemoveFile(dir_ + "/drive.disc");
    Env::Default()->RemoveFile(dir_ + "/drive.disc.raw");
  }
}

TEST_F(AudioDiscTest, TrackListRulesAndErrorFile) {
  ASSERT_NE(OpenDrive("cd-r"), nullptr);
  disc_ = AUD_CreateAudiodisk(drive_);
  ASSERT_NE(disc_, INVALID_HANDLE_VALUE);
  const std::string tone = WriteTone("tone.wav", 1000, 440);
  EXPECT_EQ(AddTrack(WriteTone("mono.wav", 1000, 440, 1, 44100)), QD_E_WRONG_FORM);
  EXPECT_EQ(AddTrack(WriteTone("dat.wav", 1000, 440, 2, 48000)), QD_E_WRONG_FORM);
  EXPECT_EQ(AddTrack(dir_ + "/missing.wav"), QD_E_SOURCE_MISSING);
  WCHAR name[MAX_PATH + 1];
  EXPECT_EQ(AUD_GetErrorWavFileName(disc_, name), 1);
  EXPECT_EQ(std::u16string(name), Utf8ToUtf16(dir_ + "/missing.wav"));
  EXPECT_EQ(AddTrack(dir_ + "/a?b.wav"), QD_E_BAD_CHARACTER);
  DWORD sectors = 0;
  EXPECT_EQ(AUD_GetWaveFileDataLength(Utf8ToUtf16(tone).c_str(), &sectors), QD_OK);
  EXPECT_EQ(sectors, 300u);
  EXPECT_EQ(AUD_GetWaveFileDataLength(nullptr, &sectors), QD_E_INVALID_ARGUMENT);

  for (int i = 0; i < 99; ++i) ASSERT_EQ(AddTrack(tone), QD_OK) << i;
  EXPECT_EQ(AddTrack(tone), QD_E_TOO_MANY_TRACKS);
  EXPECT_EQ(AUD_GetNumberOfAudioTrack(disc_), 99);
  EXPECT_EQ(AUD_DeleteAudioTrack(disc_, 0), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AUD_DeleteAudioTrack(disc_, 100), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AUD_DeleteAudioTrack(disc_, 99), QD_OK);
  EXPECT_EQ(AUD_GetNumberOfAudioTrack(disc_), 98);
  // 98 tracks of 300 sectors fit a CD; the write mode is checked first.
  EXPECT_EQ(AUD_WriteAudiodisk(disc_, 4, nullptr), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AUD_WriteAudiodisk(disc_, 0, nullptr), QD_E_INVALID_ARGUMENT);
  // A track file that vanished is the error file and nothing is written.
  ASSERT_EQ(AddTrack(WriteTone("gone.wav", 1000, 440)), QD_OK);
  Env::Default()->RemoveFile(dir_ + "/gone.wav");
  EXPECT_EQ(AUD_WriteAudiodisk(disc_, 3, nullptr), QD_E_READ_FILE);
  EXPECT_EQ(AUD_GetErrorWavFileName(disc_, name), 99);
  EXPECT_EQ(recorder_->CommandCount(drive::mmc::kOpWrite10), 0u);
}

TEST_F(AudioDiscTest, CdTextItemRules) {
  ASSERT_NE(OpenDrive("cd-r"), nullptr);
  disc_ = AUD_CreateAudiodisk(drive_);
  _CDTEXTITEM item{};
  EXPECT_EQ(AUD_GetCdTextItem(disc_, &item, 0, 0), QD_E_NO_DRIVE);
  EXPECT_EQ(AddText(0x09, 15, {u"x"}), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AddText(0x09, -1, {u"x"}), QD_E_INVALID_ARGUMENT);
  EXPECT_EQ(AUD_AddCdTextItem(disc_, nullptr, 0), QD_E_INVALID_ARGUMENT);
  ASSERT_EQ(AddText(0x09, 0, {u"First", u"One"}), QD_OK);
  ASSERT_EQ(AddText(0x09, 0, {u"Replaced", u"Uno", u"Dos"}), QD_OK);  // replaces, same block
  EXPECT_EQ(AddText(0x09, 1, {u"x"}, 1), QD_E_INVALID_ARGUMENT);      // other character width
  for (DWORD language = 1; language <= 7; ++language)
    ASSERT_EQ(AddText(language, 0, {u"t"}), QD_OK);
  EXPECT_EQ(AddText(0x20, 0, {u"t"}), QD_E_INVALID_ARGUMENT);  // all eight blocks in use
  EXPECT_EQ(AUD_GetCdTextNumberOfLanguage(disc_), 8);
  DWORD result = 0;
  EXPECT_EQ(GetText(disc_, 0, 0, &result),
            (std::vector<std::u16string>{u"Replaced", u"Uno", u"Dos"}));
  // Buffers too small: strings are cut, NUL-terminated, and only as many as there are buffers.
  WCHAR a[4], b[4];
  WCHAR* buffers[] = {a, b};
  item = _CDTEXTITEM{0, 0, buffers, 4, 2};
  ASSERT_EQ(AUD_GetCdTextItem(disc_, &item, 0, 0), QD_OK);
  EXPECT_EQ(std::u16string(a), u"Rep");
  EXPECT_EQ(std::u16string(b), u"Uno");
  EXPECT_EQ(item.dwStrings, 2u);
}

TEST_F(AudioDiscTest, BadHandlesAndMedia) {
  EXPECT_EQ(AUD_CreateAudiodisk(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(AUD_CreateAudiodisk(INVALID_HANDLE_VALUE), INVALID_HANDLE_VALUE);
  int not_a_disc = 0;
  EXPECT_EQ(AUD_AddAudioTrack(&not_a_disc, u"x.wav"), QD_E_INVALID_HANDLE);
  EXPECT_EQ(AUD_GetNumberOfAudioTrack(nullptr), 0xFFFF);
  EXPECT_EQ(AUD_GetErrorWavFileName(nullptr, nullptr), 0xFFFF);
  EXPECT_EQ(AUD_GetCdTextNumberOfLanguage(&not_a_disc), -1);
  EXPECT_EQ(AUD_WriteAudiodisk(nullptr, 3, nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(AUD_DestroyAudiodisk(nullptr), QD_E_INVALID_HANDLE);
  EXPECT_EQ(DRV_RippingTrack(nullptr, 1, nullptr, u"x.wav"), QD_E_INVALID_HANDLE);

  ASSERT_NE(OpenDrive("dvd-r"), nullptr);
  disc_ = AUD_CreateAudiodisk(drive_);
  ASSERT_NE(disc_, INVALID_HANDLE_VALUE);
  EXPECT_EQ(AUD_WriteAudiodisk(disc_, 3, nullptr),
            QD_E_MEDIA_UNSUPPORTED);  // checked before "no tracks"
  ASSERT_EQ(AddTrack(WriteTone("t.wav", 100, 440)), QD_OK);
  EXPECT_EQ(AUD_WriteAudiodisk(disc_, 1, nullptr), QD_E_MEDIA_UNSUPPORTED);
  // Nothing recorded to rip: refused, and no file is left behind.
  EXPECT_NE(DRV_RippingTrack(drive_, 1, nullptr, Utf8ToUtf16(dir_ + "/x.wav").c_str()), QD_OK);
  EXPECT_FALSE(Exists(dir_ + "/x.wav"));
}

TEST_F(AudioDiscTest, FailedRipLeavesNoFile) {
  MasterThreeTracks(3, false);
  const std::string out = dir_ + "/failed.wav";
  // The drive fails reading the middle of track 2 for good.
  recorder_->InjectSense(drive::mmc::kOpReadCd, 3, 3, 0x11, 0x00, 100);
  EXPECT_EQ(DRV_RippingTrack(drive_, 2, nullptr, Utf8ToUtf16(out).c_str()), QD_E_COMMAND_FAILED);
  EXPECT_FALSE(Exists(out));
  recorder_->ClearFaults();
  EXPECT_EQ(DRV_RippingTrack(drive_, 2, nullptr, Utf8ToUtf16(dir_ + "/bad|name.wav").c_str()),
            QD_E_BAD_CHARACTER);
  EXPECT_EQ(DRV_RippingTrack(drive_, 4, nullptr, Utf8ToUtf16(out).c_str()), QD_E_COMMAND_FAILED);
  EXPECT_EQ(DRV_RippingTrack(drive_, 1, nullptr, Utf8ToUtf16(dir_ + "/no/such/dir.wav").c_str()),
            QD_E_FILE_OPEN);
  // Cancelled through the progress object: the partial file goes too.
  HANDLE progress = PRG_CreateProgress();
  ASSERT_EQ(DRV_RippingTrack(drive_, 2, progress, Utf8ToUtf16(out).c_str()), QD_OK);
  PRG_CancelProgress(progress);
  DWORD phase = 0, done = 0, end = 0;
  DWORD status;
  while ((status = PRG_GetProgressStatus(progress, &phase, &done, &end)) == PRG_STATUS_RUNNING ||
         status == PRG_STATUS_CANCEL_REQUESTED) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const DWORD result = PRG_GetProgressErrorCode(progress);
  EXPECT_TRUE(result == QD_E_CANCELLED || result == QD_OK) << std::hex << result;
  EXPECT_EQ(Exists(out), result == QD_OK);
  PRG_DestroyProgress(progress);
}

// A CD data track recorded track at once ends in two run-out blocks that the drive counts into the
// track but cannot read: the rip holds the data before them, exactly.
TEST_F(AudioDiscTest, DataTrackRecordedTrackAtOnceRipsWithoutItsRunOut) {
  ASSERT_NE(OpenDrive("cd-r"), nullptr);
  constexpr uint32_t kSectors = 420;
  std::vector<uint8_t> data(size_t{kSectors} * 2048);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>((i * 131 + i / 2048) & 0xFF);
  {
    ProgressReporter quiet;
    auto recorder = recording::CreateRecorder(drive_, 1, 1, recording::kWriteLeaveOpen, quiet);
    ASSERT_NE(recorder, nullptr);
    recording::LayerJumpInfo jump;
    ASSERT_EQ(recording::OpenRecording(*recorder, drive::CurrentProfile(drive_),
                                       recording::kDataMode1, 0, kSectors, 0, &jump, 0),
              QD_OK);
    ASSERT_EQ(recording::WriteRecordingData(*recorder, data.data(), data.size()), QD_OK);
    ASSERT_EQ(
        recording::FinishRecording(*recorder, drive::CurrentProfile(drive_), nullptr, 0, 0, &jump),
        QD_OK);
    recording::DestroyRecorder(std::move(recorder));
  }
  _TRACKINFORMATION info{};
  ASSERT_GE(DRV_GetTrackInformation(drive_, 1, &info, TRUE), 1);
  ASSERT_EQ(info.dwMode, 1u);
  ASSERT_GT(info.dwSize, kSectors) << "the drive counts the run-out into the track";

  for (bool with_progress : {false, true}) {
    const std::string out = dir_ + (with_progress ? "/data-p.iso" : "/data.iso");
    HANDLE progress = with_progress ? PRG_CreateProgress() : nullptr;
    ASSERT_EQ(DRV_RippingTrack(drive_, 1, progress, Utf8ToUtf16(out).c_str()), QD_OK);
    if (progress != nullptr) {
      while (ProgressBusy(PRG_GetProgressStatus(progress, nullptr, nullptr, nullptr))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      EXPECT_EQ(PRG_DestroyProgress(progress), QD_OK);
    }
    EXPECT_TRUE(ReadAll(out) == data) << "rip of " << ReadAll(out).size() << " bytes";
  }

  // A block before the run-out that cannot be read is still a failure, and leaves no file.
  recorder_->InjectSense(drive::mmc::kOpRead10, 2, 3, 0x11, 0x00, 100);
  const std::string bad = dir_ + "/bad.iso";
  EXPECT_EQ(DRV_RippingTrack(drive_, 1, nullptr, Utf8ToUtf16(bad).c_str()), QD_E_COMMAND_FAILED);
  EXPECT_FALSE(Exists(bad));
  recorder_->ClearFaults();
}

TEST_F(AudioDiscTest, CueSheetLayout) {
  const std::vector<uint8_t> sheet = BuildAudioCueSheet(0, {300, 4500 + 75 + 3}, true);
  ASSERT_EQ(sheet.size(), 5u * 8);
  const std::vector<uint8_t> expected = {
      0x01, 0x00, 0, 0x41, 0, 0, 0, 0,  // lead-in, host sub-channel (CD-Text)
      0x01, 0x01, 0, 0x00, 0, 0, 0, 0,  // pregap of track 1
      0x01, 0x01, 1, 0x00, 0, 0, 2, 0,  // track 1 at 00:02:00
      0x01, 0x02, 1, 0x00, 0, 0, 6, 0,  // track 2 at 00:06:00
      0x01, 0xAA, 1, 0x01, 0, 1, 7, 3,  // lead-out at 01:07:03 (address 5028)
  };
  EXPECT_EQ(sheet, expected);
  EXPECT_EQ(BuildAudioCueSheet(0, {300}, false)[3], 0x01);
}

TEST(VirtualCdTextStateTest, LeadInPacksSurviveTheStateFile) {
  drive::virt::MediaState state;
  std::string error;
  ASSERT_TRUE(drive::virt::MakeBlankMedium("cd-r", 0, &state, &error)) << error;
  state.cd_text.assign(36, 0x8F);
  state.cd_text[35] = 0x01;
  drive::virt::MediaState back;
  ASSERT_TRUE(drive::virt::ParseState(drive::virt::SerializeState(state), &back, &error)) << error;
  EXPECT_EQ(back.cd_text, state.cd_text);
  // A damaged CD-Text line is refused, not trusted.
  std::string text = drive::virt::SerializeState(state);
  const size_t at = text.find("cd_text ");
  ASSERT_NE(at, std::string::npos);
  text[at + 8] = 'z';
  EXPECT_FALSE(drive::virt::ParseState(text, &back, &error));
}

}  // namespace
}  // namespace quillden::audio
