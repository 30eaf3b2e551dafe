// Loads random configuration trees through the contents model. The input is a top-level file
// followed by up to nine contents files, separated by lines "%%FILE%%"; the top-level file names the
// contents files as "c1" to "c9" in its IniPath values (any other name is a missing file). The model
// must neither crash nor loop without bound, and every accessor must answer for every index.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/contents/contents_model.h"
#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_table.h"
#include "platform/ini_file.h"

namespace {

using quenvar::app::CContentsItem;
using quenvar::app::CContentsList;

std::vector<std::string_view> SplitFiles(std::string_view data) {
  constexpr std::string_view kSeparator = "%%FILE%%\n";
  std::vector<std::string_view> files;
  while (files.size() < 10) {
    const size_t at = data.find(kSeparator);
    files.push_back(data.substr(0, at));
    if (at == std::string_view::npos) break;
    data.remove_prefix(at + kSeparator.size());
  }
  return files;
}

void Walk(CContentsItem& item) {
  for (int s = -1; s <= item.set_count(); ++s) {
    item.set_current_set(s);
    const int discs = item.DiscCount();
    for (int d = -1; d <= discs; ++d) {
      item.DiscTitle(d);
      item.IsChecked(d);
      item.IsBootable(d);
      item.MediaKindOf(d);
      item.RequiredSize(d);
      quenvar::app::BootImageSettings boot;
      item.GetBootImage(d, &boot);
      quenvar::app::DiscJobSettings settings;
      item.GetDiscSettings(d, &settings);
      const int file_sets = item.FileSetCount(d);
      quenvar::app::FileMap map;
      for (int f = -1; f <= file_sets; ++f) {
        item.AddFileSetToMap(d, f, [](const quenvar::app::CFileSet& set, quenvar::app::FileMap* out) {
          for (const auto& name : set.files()) (*out)[set.source_path() + u"/" + name] = set.target_path();
          return 1;
        }, &map);
      }
    }
    for (int d = 0; d < discs; ++d) item.SetStatus(d, quenvar::app::kDiscCreated);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quenvar::app::ScriptedPrompter* prompter = [] {
    auto* p = new quenvar::app::ScriptedPrompter();
    quenvar::app::SetPrompter(p);
    return p;
  }();
  prompter->ClearRecords();

  const std::vector<std::string_view> files =
      SplitFiles(std::string_view(reinterpret_cast<const char*>(data), size));
  const quenvar::app::IniLoader loader = [&files](const std::u16string& path) {
    if (path == u"top") return quenvar::platform::IniFile::Parse(files[0], "top", false);
    if (path.size() == 2 && path[0] == u'c' && path[1] >= u'1' && path[1] <= u'9') {
      const size_t index = path[1] - u'0';
      if (index < files.size()) return quenvar::platform::IniFile::Parse(files[index], "contents", false);
    }
    return quenvar::platform::IniFile();
  };

  CContentsList list;
  list.Load(u"top", loader);
  for (int i = 0; i < list.item_count(); ++i) Walk(*list.item(i));

  // The same bytes as a text template: the formatter must stay inside its arguments.
  std::u16string format;
  for (size_t i = 0; i + 1 < size && format.size() < 4096; i += 2) format.push_back(data[i] | (data[i + 1] << 8));
  quenvar::app::FormatText(format, {u"title", 7, 1.5});
  return 0;
}
