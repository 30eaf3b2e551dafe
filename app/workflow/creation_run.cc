#include "app/workflow/creation_run.h"

#include <algorithm>
#include <chrono>

#include "app/contents/created_media_record.h"
#include "app/controllers/wren_data_ctrl.h"
#include "app/controllers/wren_img_ctrl.h"
#include "app/guards/battery.h"
#include "app/guards/dla_guard.h"
#include "app/prompting/error_object.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"
#include "app/workflow/creation_usb.h"
#include "app/workflow/image_disc_creator.h"
#include "quillden/progress.h"
#include "quillden/result.h"

namespace quenvar::app {

namespace {

constexpr uint32_t kPromptPollMs = 100;

uint32_t Cap(uint32_t value) { return std::min(value, kBarRunningCap); }

}  // namespace

uint32_t CurrentFraction(const JobProgress& job, const SessionTrackWords& words, int iso_recording) {
  const uint32_t k = words.session;
  const uint32_t w = words.written;
  const uint32_t n = words.total_sectors;
  const uint32_t c = words.sessions != 1 ? kSessionLeadTerm : 0;
  const uint32_t d = words.sessions != 1 ? kSessionCloseTerm : 0;
  const uint32_t e = (words.sessions - 1) * c;
  const uint32_t denominator = e + n + d;
  const uint32_t done = job.done;
  // The words are read one at a time while the job moves on: read across the end of a track, the
  // job's count and the finished tracks' count may both hold that track. A phase never passes its end.
  auto ratio = [](uint32_t numerator, uint32_t denom) -> uint32_t {
    return denom == 0 ? 0 : std::min<uint64_t>(uint64_t{numerator} * 1000u / denom, 1000u);
  };
  switch (job.phase) {
    case 1:
    case 2:
      if (n != 0 && k >= 1) return ratio(k == 1 ? done + w : c * (k - 2) + w + d + done, denominator);
      if (job.phase == 1) return iso_recording ? ratio(done, job.total) : 0;
      return iso_recording && job.total != 0 ? 1000 : 0;
    case 3:
      if (n != 0 && k >= 1) {
        return ratio(k == 1 ? d * done / 65535u + w : c * (k - 2) + w + c * done / 65535u + d, denominator);
      }
      return 0;
    case kPhaseVerifying:
      return ratio(done, job.total);
    default:
      return 0;
  }
}

FrameProgress::FrameProgress(CreationWindow* window, Source* source) : window_(window), source_(source) {}

void FrameProgress::Reset(uint32_t media_total, uint32_t verify_factor) {
  StopTimer();
  media_total_ = media_total;
  media_done_ = 0;
  verify_factor_ = verify_factor ? verify_factor : 1;
  current_base_ = 0;
  total_base_ = 0;
  progress_ = nullptr;
  iso_recording_ = 0;
}

uint32_t FrameProgress::TotalBase() const {
  return media_total_ == 0 ? 0 : media_done_ * kBarFull / media_total_;
}

void FrameProgress::SetBars(uint32_t current, uint32_t total) {
  current_bar_ = current;
  total_bar_ = total;
  window_->SetCurrentBar(current);
  window_->SetTotalBar(total);
}

void FrameProgress::BeginMedia(uint32_t media_done, std::u16string title) {
  media_done_ = media_done;
  title_ = std::move(title);
  SetBars(0, TotalBase());
}

std::u16string FrameProgress::PhaseText(uint32_t phase) {
  std::u16string text;
  if (phase == 0) {
    text = FormatString(ids::kNowCreatingLine, {title_});
    source_->SetCurrentStatus(kDiscRecording);
  } else {
    text = std::u16string(LoadString(ids::kNowVerifying));
    source_->SetCurrentStatus(kDiscVerifying);
  }
  text += LoadString(ids::kPleaseWait);
  return text;
}

void FrameProgress::StartPhase(HANDLE progress, uint32_t phase) {
  StopTimer();
  progress_ = progress;
  if (media_total_ == 0) return;
  window_->SetInformationText(PhaseText(phase));
  current_base_ = phase * kBarFull / verify_factor_;
  total_base_ = TotalBase();
  timer_id_ = phase == 0 ? kTimerWriting : kTimerVerifying;
  window_->StartTimer(timer_id_, kTimerPeriodMs);
}

void FrameProgress::ShowPhaseText(uint32_t phase) {
  window_->SetInformationText(PhaseText(phase));
}

void FrameProgress::StopTimer() {
  if (timer_id_ == 0) return;
  window_->KillTimer(timer_id_);
  timer_id_ = 0;
}

void FrameProgress::SetUsbBars(uint32_t a, uint32_t b, bool reset) {
  if (reset) {
    usb_total_max_ = b;
    usb_current_max_ = a;
    total_base_ = TotalBase();
    SetBars(current_bar_, total_base_);
    return;
  }
  // A medium without files has nothing to count: its bars stay where they are.
  const uint32_t current = usb_current_max_ == 0 ? current_bar_ : a * kBarFull / usb_current_max_;
  const uint32_t total = usb_total_max_ == 0 || media_total_ == 0
                             ? total_bar_
                             : b * kBarFull / usb_total_max_ / media_total_ + total_base_;
  SetBars(current, total);
}

void FrameProgress::CompleteBars(int which) {
  SetBars(which & 1 ? kBarFull : current_bar_, which & 2 ? kBarFull : total_bar_);
}

void FrameProgress::OnTimer(uint32_t id) {
  if (id != timer_id_ || timer_id_ == 0) return;
  JobProgress job;
  if (!source_->GetJobProgress(&job)) return;
  if (job.status != PRG_STATUS_RUNNING) {
    // The controllers wait for the job's final code and report the outcome themselves.
    StopTimer();
    return;
  }
  SessionTrackWords words;
  if (!source_->GetSessionTrack(progress_, &words)) words = SessionTrackWords{};
  const uint32_t f = CurrentFraction(job, words, iso_recording_);
  const uint32_t current = f / verify_factor_ + current_base_;
  const uint32_t total = media_total_ == 0 ? total_base_ : current / media_total_ + total_base_;
  SetBars(Cap(current), Cap(total));
}

bool CreationWindow::ConfirmBattery() { return CheckBattery(CurrentPrompter().MainWindow()) != 0; }

bool CreationWindow::LockDrive(int32_t drive_number) { return LockDriveForWriting(1, drive_number) != 0; }

void CreationWindow::UnlockDrive(int32_t drive_number) { LockDriveForWriting(0, drive_number); }

CreationRun::CreationRun(MediaList* list, CreationWindow* window, CWrenDataCtrl* data_ctrl, DriveList* drives)
    : list_(list),
      window_(window),
      data_ctrl_(data_ctrl),
      drives_(drives),
      image_ctrl_(std::make_unique<CWrenImgCtrl>()),
      usb_ctrl_(std::make_unique<CWrenUsbCtrl>()),
      record_writer_(WriteCreatedMediaRecord),
      progress_(window, this) {
  image_ctrl_->set_drive_list(drives);
  own_image_ = std::make_unique<ImageMediumCreator>(image_ctrl_.get(), this);
  own_usb_ = std::make_unique<UsbMediumCreator>(usb_ctrl_.get());
  image_ = own_image_.get();
  usb_ = own_usb_.get();
}

CreationRun::~CreationRun() {
  progress_.StopTimer();
  JoinCancelPrompt();
}

void CreationRun::set_image_creator(ImageDiscCreator* creator) { image_ = creator ? creator : own_image_.get(); }
void CreationRun::set_usb_creator(UsbDiscCreator* creator) { usb_ = creator ? creator : own_usb_.get(); }

void CreationRun::SetInformation(std::u16string text) {
  text_ = std::move(text);
  window_->SetInformationText(text_);
}

void CreationRun::ShowSelectionSummary() {
  usb_mask_ = list_->UsbMask();
  window_->SetInformationText(list_->SelectionSummary());
  window_->EnableCreate(!busy_ && list_->CheckedCount() != 0);
}

uint32_t CreationRun::OnCreate(bool verify_checked, int checked_mode) {
  if (busy_) return 0;
  if (!window_->ConfirmBattery()) return 0;
  window_->EnableSelection(false);
  busy_ = true;
  // The configuration's quick mode reaches the run through the Verify box as well.
  if (checked_mode == 0) {
    checked_mode = list_->contents()->verify_mode() == CContentsList::kVerifyQuick ? 1 : 2;
  }
  const int verify_mode = verify_checked ? checked_mode : 0;
  // The recording drive is locked whenever optical discs are among the checked ones, also in a
  // run that creates a USB medium besides them.
  const bool needs_drive = list_->CheckedCount() > list_->CheckedCount(kMediaUsb);
  uint32_t result = 0;
  if (!needs_drive) {
    result = RunLoop(verify_mode);
  } else {
    const int32_t drive = drives_ ? drives_->SelectedDrive() : 0;
    if (window_->LockDrive(drive)) {
      result = RunLoop(verify_mode);
      window_->UnlockDrive(drive);
    }
  }
  window_->EnableSelection(true);
  busy_ = false;
  window_->EnableCreate(list_->CheckedCount() != 0);
  return result;
}

std::u16string CreationRun::NextCheckedTitle(int item, int disc) const {
  CContentsList* contents = list_->contents();
  for (int p = item; p < contents->item_count(); ++p) {
    if (list_->SelectorCount(p) == 0) continue;
    const CContentsItem* entry = contents->item(p);
    const CDiscSet* set = entry->set(entry->current_set());
    if (set == nullptr) continue;
    for (int m = p == item ? disc + 1 : 0; m < set->disc_count(); ++m) {
      if (set->disc(m)->checked()) return set->disc(m)->title();
    }
  }
  return {};
}

CDiscSet* CreationRun::RunSet(int p) {
  CContentsItem* item = list_->contents()->item(p);
  if (item == nullptr) {
    CErrorObject report(kModuleContentsList, kLocationRunItemMissing, kErrorInternal, u"", 0,
                        CurrentPrompter().MainWindow());
    return nullptr;
  }
  return item->set(item->current_set());
}

uint32_t CreationRun::RunLoop(int verify_mode) {
  CContentsList* contents = list_->contents();
  window_->EnableCreate(false);
  // The controllers ask for media and report through the main window: without it nothing can be
  // created, and a run that creates nothing must not end as a success.
  if (CurrentPrompter().MainWindow() == nullptr) {
    CErrorObject report(kModuleContentsList, kLocationRunNoMainWindow, kErrorInternal, u"", 0, nullptr);
    return QD_E_INVALID_ARGUMENT;
  }
  BeginRun(verify_mode);
  RunTally run;
  // Items, sets and discs are looked up by position at every step: the controllers dispatch
  // messages while they work, so nothing fetched before a disc is trusted after it.
  for (int p = 0; p < contents->item_count() && !run.aborted; ++p) {
    if (list_->SelectorCount(p) == 0) continue;
    RunItem(p, verify_mode, &run);
  }
  EndRun(run);
  return run.result;
}

void CreationRun::BeginRun(int verify_mode) {
  CContentsList* contents = list_->contents();
  // Every checked disc starts afresh.
  for (int p = 0; p < contents->item_count(); ++p) {
    if (list_->SelectorCount(p) == 0) continue;
    CContentsItem* item = contents->item(p);
    CDiscSet* set = item->set(item->current_set());
    if (set == nullptr) continue;
    for (int m = 0; m < set->disc_count(); ++m) {
      if (!set->disc(m)->checked()) continue;
      set->disc(m)->set_status(kDiscNone);
      set->set_created(0);
    }
  }
  const uint32_t media_total = static_cast<uint32_t>(list_->CheckedCount());
  list_->set_running(true);
  loop_running_ = true;
  window_->RedrawList();
  cancel_answer_ = 0;
  cancel_requested_ = false;
  cancel_pending_ = false;
  prompt_text_.clear();
  usb_mask_ = list_->UsbMask();
  progress_.Reset(media_total, verify_mode != 0 ? 2 : 1);
}

CDiscSet* CreationRun::CurrentSet(int p, RunTally* run) {
  CDiscSet* set = RunSet(p);
  // The item may have gone while a disc was created: the run cannot go on, and its last result
  // must not read as a success.
  if (set == nullptr && list_->contents()->item(p) == nullptr) {
    run->aborted = true;
    run->result = QD_E_INVALID_ARGUMENT;
  }
  return set;
}

void CreationRun::RunItem(int p, int verify_mode, RunTally* run) {
  for (int m = 0; !run->aborted; ++m) {
    CDiscSet* set = CurrentSet(p, run);
    if (set == nullptr || m >= set->disc_count()) break;
    if (!set->disc(m)->checked()) continue;
    bool retry = true;
    while (retry && !run->aborted) {
      retry = AttemptDisc(p, m, set, verify_mode, run);
      if (CancelConfirmed()) run->aborted = true;
      if (run->aborted) break;
      set = CurrentSet(p, run);
      if (set == nullptr || m >= set->disc_count()) break;
    }
  }
}

bool CreationRun::AttemptDisc(int p, int m, const CDiscSet* set, int verify_mode, RunTally* run) {
  current_item_ = p;
  current_disc_ = m;
  list_->SetDiscStatus(p, m, kDiscRecording);
  list_->Fill();
  window_->RedrawList();
  const std::u16string title = set->disc(m)->title();
  progress_.BeginMedia(run->media_begun, title);
  const std::u16string next_title = NextCheckedTitle(p, m);
  if (run->media_begun == 0) {
    text_ = FormatString(ids::kWillBeCreatedNow, {title});
    prompt_text_ = text_;
  } else {
    text_ += FormatString(ids::kWillNowBeCreated, {title});
  }
  SetInformation(text_);
  ++run->media_begun;

  DiscJob job;
  job.item = list_->contents()->item(p);
  job.item_index = p;
  job.disc = m;
  job.item->GetDiscSettings(m, &job.settings);
  job.settings.verify_mode = verify_mode;
  job.settings.disc_title = title;
  job.settings.next_title = next_title;
  job.prompt_text = prompt_text_;
  run->result = CreateDisc(job);
  mode_ = kModeNone;
  progress_.StopTimer();

  const bool retry = SettleDisc(p, m, title, next_title, run);
  list_->Fill();
  window_->RedrawList();
  return retry;
}

bool CreationRun::SettleDisc(int p, int m, const std::u16string& title,
                             const std::u16string& next_title, RunTally* run) {
  if (run->result == 0) {
    progress_.CompleteBars(1);
    list_->SetDiscStatus(p, m, kDiscCreated);
    text_ = FormatString(ids::kCreatedSuccessfully, {title});
    if (record_writer_) record_writer_(*list_->contents());
    return false;
  }
  if (run->result == QD_E_CANCELLED) {
    list_->SetDiscStatus(p, m, kDiscNone);
    run->aborted = true;
    return false;
  }
  list_->SetDiscStatus(p, m, kDiscError);
  list_->Fill();
  window_->RedrawList();
  const int choice = CurrentPrompter().SelectNextProcess(CurrentPrompter().MainWindow(), title);
  if (choice == kIdRetryMedia) {
    prompt_text_ = FormatString(ids::kWillBeCreatedNow, {title});
    --run->media_begun;
    return true;
  }
  if (choice == kIdNextMedia) {
    prompt_text_ = FormatString(ids::kWillNowBeCreated, {next_title});
  } else {
    run->aborted = true;
  }
  return false;
}

bool CreationRun::CancelConfirmed() {
  // A cancel prompt still open decides whether the run goes on.
  while (cancel_prompt_open_.load()) {
    ProcessPendingMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPromptPollMs));
  }
  ProcessPendingMessages();
  return cancel_answer_.load() == kIdOk && cancel_requested_.load();
}

void CreationRun::EndRun(const RunTally& run) {
  if (!run.aborted) {
    text_ += LoadString(ids::kAllCompleted);
    progress_.CompleteBars(3);
  } else {
    // A disc that was created before the cancel stays created.
    CContentsItem* item = list_->contents()->item(current_item_);
    if (item != nullptr && item->Status(current_disc_) != kDiscCreated) {
      list_->SetDiscStatus(current_item_, current_disc_, kDiscNone);
    }
    text_ = std::u16string(LoadString(ids::kAllCancelled));
  }
  SetInformation(text_);
  loop_running_ = false;
  list_->set_running(false);
  window_->RedrawList();
  if (run.result == 0) {
    prompt_text_ = std::u16string(LoadString(ids::kAllCompleted));
    ShowAppMessage(prompt_text_, PromptButtons::kOk, PromptIcon::kInformation, window_->ListWindow());
  }
}

uint32_t CreationRun::CreateDisc(const DiscJob& job) {
  const CDiscItem* disc = job.item->Disc(job.disc);
  if (disc == nullptr) return QD_E_DRIVER_REQUEST;
  if (!disc->bootable() && disc->has_image_file()) {
    DiscJob image_job = job;
    image_job.settings.image_path = disc->image_file();
    mode_ = kModeImage;
    window_->SetWaitCursor(true);
    prompt_text_ = job.prompt_text;
    const uint32_t result = image_->Create(image_job, &prompt_text_);
    window_->SetWaitCursor(false);
    return result;
  }
  if ((usb_mask_ & (1u << (job.item_index & 31))) != 0 && job.item_index < 32 &&
      disc->media_kind() == kMediaUsb) {
    mode_ = kModeData;
    return usb_->Create(job, *this);
  }
  mode_ = kModeData;
  window_->SetWaitCursor(true);
  const uint32_t result = CreateDataDisc(job);
  window_->SetWaitCursor(false);
  return result;
}

uint32_t CreationRun::CreateDataDisc(const DiscJob& job) {
  CWrenDataCtrl& ctrl = *data_ctrl_;
  if (uint32_t created = ctrl.CreateDatadisk(); created != 0) return created;
  if (uint32_t applied = ctrl.ApplySettings(job.settings); applied != 0) return applied;
  if (job.item->IsBootable(job.disc)) {
    BootImageSettings boot;
    job.item->GetBootImage(job.disc, &boot);
    const uint32_t read = ctrl.ReadBootImage(boot.path, boot.emulation, boot.load_segment, boot.sector_count);
    if (read != 0) return read;
  }
  const CDiscItem* disc = job.item->Disc(job.disc);
  if (disc != nullptr && !disc->efi_boot_image().empty()) {
    if (const uint32_t read = ctrl.ReadEfiBootImage(disc->efi_boot_image()); read != 0) return read;
  }
  // A missing source or a path that leaves its folder fails the disc before a medium is asked for.
  FileMap map;
  if (uint32_t collected = ctrl.CollectDiscFiles(disc, &map); collected != 0)
    return collected;
  if (uint32_t added = ctrl.AddFiles(CurrentPrompter().MainWindow(), &map); added != 0) return added;
  // The controller prompts with the run's prompt text and, after a success, leaves its completion
  // text there, which then introduces the next disc's media prompt.
  prompt_text_ = job.prompt_text;
  return ctrl.CreateDataDisc(&prompt_text_);
}

bool CreationRun::OnCancelPressed() {
  if (!busy_ && !list_->running()) return true;
  if (cancel_prompt_open_.load()) return false;
  JoinCancelPrompt();
  cancel_prompt_open_ = true;
  const bool usb_run = usb_mask_ != 0;
  cancel_thread_ = std::thread([this, usb_run] { CancelPromptThread(usb_run); });
  return false;
}

void CreationRun::CancelPromptThread(bool usb_run) {
  const std::u16string text(LoadString(usb_run ? ids::kAskCancelProcess : ids::kAskCancelRecording));
  const int answer = CurrentPrompter().ConfirmCancel(CurrentPrompter().MainWindow(), LoadString(ids::kAppTitle), text);
  if (answer == kIdOk && loop_running_.load()) {
    {
      std::lock_guard<std::mutex> lock(pending_text_mutex_);
      pending_text_ = LoadString(ids::kNowCancelling);
      has_pending_text_ = true;
    }
    cancel_requested_ = true;
    cancel_pending_ = true;
  }
  cancel_answer_ = answer;
  cancel_prompt_open_ = false;
}

void CreationRun::JoinCancelPrompt() {
  if (cancel_thread_.joinable()) cancel_thread_.join();
}

void CreationRun::ApplyRequestedCancel() {
  if (!cancel_pending_.exchange(false)) return;
  if (mode_ == kModeImage) {
    image_->Cancel();
  } else if (mode_ == kModeData) {
    data_ctrl_->CancelJob();
    data_ctrl_->CancelVerify();
    usb_->Cancel();
  }
}

void CreationRun::ProcessPendingMessages() {
  window_->ProcessPendingMessages();
  std::u16string text;
  bool has_text = false;
  {
    std::lock_guard<std::mutex> lock(pending_text_mutex_);
    if (has_pending_text_) {
      text.swap(pending_text_);
      has_text = true;
      has_pending_text_ = false;
    }
  }
  if (has_text) window_->SetInformationText(text);
  ApplyRequestedCancel();
}

void CreationRun::StartProgressDisplay(int mode) {
  HANDLE progress = mode_ == kModeImage ? image_->progress() : data_ctrl_->progress();
  progress_.set_iso_recording(0);
  progress_.StartPhase(progress, static_cast<uint32_t>(mode));
}

void CreationRun::StopProgressDisplay() { progress_.StopTimer(); }

bool CreationRun::GetJobProgress(JobProgress* job) {
  if (mode_ == kModeImage) return image_->GetProgress(job);
  if (mode_ == kModeData) {
    return data_ctrl_->GetProgress(&job->status, &job->done, &job->total, &job->phase) != 0;
  }
  return false;
}

bool CreationRun::GetSessionTrack(HANDLE progress, SessionTrackWords* words) {
  if (progress == nullptr) return false;
  _SESSIONTRACKPROGRESS block{};
  PRG_GetSessionTrackProgress(progress, &block);
  words->session = block.dwSession;
  words->written = block.dwWrittenSectors;
  words->sessions = block.dwSessions;
  words->total_sectors = block.dwTotalSectors;
  return true;
}

void CreationRun::SetCurrentStatus(uint32_t status) {
  if (current_item_ < 0) return;
  list_->SetDiscStatus(current_item_, current_disc_, status);
  list_->Fill();
  window_->RedrawList();
}

}  // namespace quenvar::app
