// quenvar-create: creates the recovery media of a recovery area without windows, through the same
// creation run as the dialog program; questions are answered by options (see Usage()).
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/contents/contents_model.h"
#include "app/contents/created_media_record.h"
#include "app/contents/media_list.h"
#include "app/controllers/wren_data_ctrl.h"
#include "app/workflow/creation_run.h"
#include "platform/drive_map.h"
#include "platform/unicode.h"
#include "quillden/drive.h"
#include "quillden/result.h"
#include "quillden/virtual.h"
#include "tools/common/drive_arg.h"
#include "tools/quenvar-create/terminal_front_end.h"

namespace {

using namespace quenvar;

create::Interrupt g_interrupt;

void OnInterrupt(int signal_number) {
  g_interrupt.Raise(signal_number);
}

const char* SignalName(int signal_number) {
  return signal_number == SIGINT ? "SIGINT" : "SIGTERM";
}

bool MediumPresent(int32_t drive_number) {
  app::CWrenCtrl ctrl;
  _MEDIAINFORMATION info{};
  return ctrl.QueryMediaInfo(drive_number, &info) == 0 && info.dwMedia != 0;
}

// Loads a blank medium into the recording drive when it is virtual and holds no blank one; the
// recorded medium is saved to keep_dir first.
class VirtualLoader {
 public:
  VirtualLoader(const create::Options& options, int32_t drive_number) : options_(options) {
    const platform::DriveMapEntry* entry =
        platform::DriveMap::Current().Find(quenvar::tools::DriveLetterOf(drive_number));
    if (entry != nullptr && entry->kind == platform::DriveKind::kVirtual)
      backing_ = entry->backing_path;
    drive_number_ = drive_number;
  }

  void operator()() {
    if (options_.blank_kind.empty() || backing_.empty()) return;
    app::CWrenCtrl ctrl;
    _MEDIAINFORMATION info{};
    const uint32_t queried = ctrl.QueryMediaInfo(drive_number_, &info);
    if (queried == 0 && info.dwMedia != 0 && info.dwStatus == MEDIA_STATUS_BLANK) return;
    std::error_code ignored;
    if (!options_.keep_dir.empty() && std::filesystem::file_size(backing_, ignored) > 0 &&
        !ignored) {
      std::filesystem::create_directories(options_.keep_dir, ignored);
      const std::string kept = options_.keep_dir + "/medium-" + std::to_string(++kept_) + ".img";
      std::filesystem::copy_file(backing_, kept, std::filesystem::copy_options::overwrite_existing,
                                 ignored);
      std::printf("[virtual] recorded medium saved as %s%s\n", kept.c_str(),
                  ignored ? " (failed)" : "");
    }
    const std::u16string backing = platform::Utf8ToUtf16(backing_);
    DWORD result = DRV_CreateVirtualMedium(backing.c_str(),
                                           platform::Utf8ToUtf16(options_.blank_kind).c_str(), 0);
    if (result == QD_OK) result = DRV_SetVirtualTray(backing.c_str(), FALSE, TRUE);
    if (result != QD_OK) {
      char16_t reason[512];
      DRV_GetVirtualDriveError(reason, 512);
      std::printf("[virtual] cannot load a blank %s: %s\n", options_.blank_kind.c_str(),
                  platform::Utf16ToUtf8(platform::Utf16View(reason)).c_str());
      return;
    }
    std::printf("[virtual] loaded a blank %s\n", options_.blank_kind.c_str());
  }

 private:
  const create::Options& options_;
  std::string backing_;
  int32_t drive_number_ = 0;
  int kept_ = 0;
};

void PrintList(const app::MediaList& list) {
  for (const app::MediaListRow& row : list.rows()) {
    if (row.kind == app::RowKind::kSpacer) continue;
    const bool contents = row.kind == app::RowKind::kContents;
    const char* check = row.image % 3 == app::kImageChecked % 3  ? "[x]"
                        : row.image % 3 == app::kImagePartly % 3 ? "[~]"
                                                                 : "[ ]";
    std::string line = contents ? "" : "    ";
    line += std::string(check) + " " + platform::Utf16ToUtf8(row.title);
    if (contents) {
      const auto titles = list.SelectorTitles(row.item);
      const int entry = list.SelectorEntry(row.item);
      line += "  (item " + std::to_string(row.item + 1) + ", set " +
              std::to_string(list.SelectorMap(row.item)[static_cast<size_t>(entry)] + 1) + ": " +
              platform::Utf16ToUtf8(titles[static_cast<size_t>(entry)]) + ")";
    }
    std::printf("%s\n", line.c_str());
  }
}

// The recorder --drive names, else the first; 0 with nothing chosen when --drive names none.
bool ChooseRecorder(const create::Options& options, app::CWrenDataCtrl* data_ctrl,
                    app::DriveList* drives) {
  data_ctrl->EnumerateRecorders(drives);
  data_ctrl->set_drive_list(drives);
  if (options.drive == 0) return true;
  const int32_t number = quenvar::tools::DriveNumberOf(std::string_view(&options.drive, 1));
  if (drives->Find(number) == nullptr) {
    std::fprintf(stderr, "quenvar-create: %c: is not a recorder\n", options.drive);
    return false;
  }
  drives->SetSelection(number);
  return true;
}

// Checks the discs of the sets --set names instead of those the list checks; false when the
// recorder cannot create one of them.
bool SelectSets(const create::Options& options, app::CContentsList* contents,
                app::MediaList* list) {
  if (options.sets.empty()) return true;
  for (int i = 0; i < contents->item_count(); ++i) {
    if (list->SelectorCount(i) == 0) continue;
    contents->item(i)->SetAllChecked(0);
  }
  for (const auto& [item, set] : options.sets) {
    const auto& map = list->SelectorMap(item - 1);
    int entry = -1;
    for (size_t e = 0; e < map.size(); ++e) {
      if (map[e] == static_cast<uint32_t>(set - 1)) entry = static_cast<int>(e);
    }
    if (entry < 0) {
      std::fprintf(stderr, "quenvar-create: set %d of item %d cannot be created on this drive\n",
                   set, item);
      return false;
    }
    list->SelectEntry(item - 1, entry);
    contents->item(item - 1)->SetAllChecked(1);
  }
  list->Fill();
  return true;
}

// The discs chosen now are the ones that must all be created by this run. A disc the record
// remembers from an earlier run counts only when this run creates it again, also when a guard
// keeps the run from starting at all.
std::vector<std::pair<int, int>> TakeChosenDiscs(app::CContentsList* contents,
                                                 const app::MediaList& list) {
  std::vector<std::pair<int, int>> chosen;
  for (int i = 0; i < contents->item_count(); ++i) {
    if (list.SelectorCount(i) == 0) continue;
    app::CContentsItem* item = contents->item(i);
    app::CDiscSet* set = item->set(item->current_set());
    for (int d = 0; set != nullptr && d < set->disc_count(); ++d) {
      if (!set->disc(d)->checked()) continue;
      chosen.emplace_back(i, d);
      set->disc(d)->set_status(app::kDiscNone);
    }
  }
  return chosen;
}

int VerifyModeOf(const create::Options& options, const app::CContentsList& contents) {
  switch (options.verify) {
    case create::kVerifyConfigured:
      return contents.verify_mode();
    case create::kVerifyOnConfigured:
      return contents.verify_mode() == app::CContentsList::kVerifyQuick ? 1 : 2;
    default:
      return options.verify;
  }
}

// Prints how many of the chosen discs were created and, when not all, why on the last line; the
// exit status.
int ReportEnd(app::CContentsList& contents, const std::vector<std::pair<int, int>>& chosen,
              uint32_t result, const create::HeadlessPrompter& prompter) {
  int created = 0;
  for (const auto& [item, disc] : chosen) {
    const app::CDiscSet* set = contents.item(item)->set(contents.item(item)->current_set());
    if (set->disc(disc)->status() == app::kDiscCreated) ++created;
  }
  std::printf("created %d of %zu media\n", created, chosen.size());
  std::fflush(stdout);
  if (g_interrupt.raised()) {
    std::fprintf(stderr, "quenvar-create: cancelled by %s\n",
                 SignalName(g_interrupt.signal.load()));
    return 1;
  }
  if (created == static_cast<int>(chosen.size())) return 0;
  std::string reason = prompter.Reason();
  if (reason.empty()) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", result);
    reason = result == QD_E_CANCELLED ? "cancelled"
             : result != 0            ? std::string("failed with ") + code
                                      : "not created";
  }
  std::fprintf(stderr, "quenvar-create: %d of %zu media not created: %s\n",
               static_cast<int>(chosen.size()) - created, chosen.size(), reason.c_str());
  return 1;
}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", create::Usage().c_str());
      return 0;
    }
  }
  create::Options options;
  std::string error;
  if (!create::ParseOptions(args, &options, &error)) {
    std::fprintf(stderr, "quenvar-create: %s\n%s", error.c_str(), create::Usage().c_str());
    return 2;
  }

  // From here on an interrupt is never lost: before the run it keeps the run from starting, during
  // it it cancels the running job through the engine.
  InstallInterruptHandlers();
  create::HeadlessControllerUi controller_ui;
  controller_ui.set_interrupt(&g_interrupt);
  app::ScopedControllerUi install_ui(&controller_ui);

  app::CWrenDataCtrl data_ctrl;
  app::DriveList drives;
  if (!ChooseRecorder(options, &data_ctrl, &drives)) return 2;
  const int32_t drive_number = drives.SelectedDrive();
  VirtualLoader loader(options, drive_number);
  create::HeadlessPrompter prompter(options, stdout, [&loader] { loader(); });
  prompter.set_interrupt(&g_interrupt);
  prompter.set_medium_present([drive_number] { return MediumPresent(drive_number); });
  app::ScopedPrompter install_prompter(&prompter);

  app::CContentsList contents;
  contents.Load(platform::Utf8ToUtf16(options.top_level));
  if (contents.item_count() == 0) {
    std::fprintf(stderr, "quenvar-create: %s describes no media\n", options.top_level.c_str());
    return 2;
  }
  app::ReadCreatedMediaRecord(contents);
  app::MediaList list(&contents);
  const app::tagDRIVEPARAM* record = drives.Find(drive_number);
  list.FillSelectors(record != nullptr ? record->deviceSpec.dwWritableMedia : 0);
  if (drive_number != 0) {
    std::printf("recorder: %s\n", platform::Utf16ToUtf8(app::DriveLine(*record)).c_str());
  }
  if (!SelectSets(options, &contents, &list)) return 2;
  PrintList(list);
  if (options.list_only) return 0;
  const std::vector<std::pair<int, int>> chosen = TakeChosenDiscs(&contents, list);

  create::TerminalWindow window(stdout);
  app::CreationRun run(&list, &window, &data_ctrl, &drives);
  window.set_run(&run);
  window.set_interrupt(&g_interrupt);
  prompter.set_disc_source(
      [&run] { return std::make_pair(run.current_item(), run.current_disc()); });
  app::RunControllerUi run_ui(&controller_ui, &run);
  app::ScopedControllerUi install_run_ui(&run_ui);

  run.ShowSelectionSummary();
  if (chosen.empty()) {
    std::fprintf(stderr, "quenvar-create: nothing to create\n");
    return 1;
  }
  uint32_t result = 0;
  if (!g_interrupt.raised()) {
    const int verify_mode = VerifyModeOf(options, contents);
    result = run.OnCreate(verify_mode != 0, verify_mode);
    run.JoinCancelPrompt();
  }
  // The last line says why the run did not create everything.
  return ReportEnd(contents, chosen, result, prompter);
}
