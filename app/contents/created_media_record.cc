#include "app/contents/created_media_record.h"

#include "app/prompting/prompt.h"
#include "platform/registry.h"
#include "platform/unicode.h"

namespace quenvar::app {
namespace {

using platform::RegistryHive;
using platform::RegistryKey;

// A stored title longer than this does not fit the 520-byte buffer it is read into.
constexpr size_t kTitleReadUnits = 260;

std::u16string TwoDigits(int n) {
  std::u16string digits = platform::Utf8ToUtf16(std::to_string(n));
  if (digits.size() < 2) digits.insert(digits.begin(), u'0');
  return digits;
}

bool OpenItemKey(int position, RegistryKey* key, std::u16string* name) {
  *name = u"Contents" + TwoDigits(position);
  bool created = false;
  return RegistryKey::Create(RegistryHive::kCurrentUser, std::u16string(kContentsListKey) + *name, key, &created)
      .ok();
}

uint32_t ReadDword(const RegistryKey& key, std::u16string_view name) {
  uint32_t value = 0;
  if (!key.GetDword(name, &value).ok()) return 0;  // unreadable counts as absent
  return value;
}

// A 1 stays; anything else is replaced by the new value (1 or 0).
void WriteSticky(RegistryKey& key, std::u16string_view name, uint32_t value) {
  uint32_t old = 0;
  if (key.GetDword(name, &old).ok() && old == 1) return;
  key.SetDword(name, value == 1 ? 1 : 0);
}

}  // namespace

int ReadCreatedMediaRecord(CContentsList& list) {
  for (int i = 0; i < list.item_count(); ++i) {
    CContentsItem* item = list.item(i);
    RegistryKey key;
    std::u16string name;
    if (!OpenItemKey(i + 1, &key, &name)) {
      ShowAppMessage(u"Cannot open registry.\n", PromptButtons::kOk, PromptIcon::kNone);
      return 0;
    }
    const uint32_t item_created = ReadDword(key, name);
    item->set_created(item_created);
    for (int s = 0; s < item->set_count(); ++s) {
      CDiscSet* set = item->set(s);
      const std::u16string set_number = TwoDigits(s + 1);
      std::u16string stored_title;
      const bool has_title = key.GetString(u"DiscSetTitle" + set_number, &stored_title).ok() &&
                             stored_title.size() < kTitleReadUnits;
      if (!has_title || stored_title != set->title()) {
        // Another set now carries this number: its old marks do not apply.
        set->set_created(0);
        for (int d = 0; d < set->disc_count(); ++d) set->disc(d)->set_status(kDiscNone);
        continue;
      }
      set->set_created(static_cast<int>(ReadDword(key, u"DiscSet" + set_number)));
      for (int d = 0; d < set->disc_count(); ++d) {
        const uint32_t disc_created = ReadDword(key, u"Disc" + set_number + TwoDigits(d + 1));
        CDiscItem* disc = set->disc(d);
        disc->set_status(disc_created);
        disc->set_checked(item_created != 1 && disc_created != 1 ? 1 : 0);
      }
    }
  }
  return 1;
}

int WriteCreatedMediaRecord(const CContentsList& list) {
  for (int i = 0; i < list.item_count(); ++i) {
    const CContentsItem* item = list.item(i);
    RegistryKey key;
    std::u16string name;
    if (!OpenItemKey(i + 1, &key, &name)) return 0;
    int created_sets = 0;
    for (int s = 0; s < item->set_count(); ++s) {
      const CDiscSet* set = item->set(s);
      const std::u16string set_number = TwoDigits(s + 1);
      key.SetString(u"DiscSetTitle" + set_number, set->title());
      WriteSticky(key, u"DiscSet" + set_number, static_cast<uint32_t>(set->created()));
      if (set->created() == 1) ++created_sets;
      for (int d = 0; d < set->disc_count(); ++d) {
        WriteSticky(key, u"Disc" + set_number + TwoDigits(d + 1), set->disc(d)->status());
      }
    }
    WriteSticky(key, name, created_sets != 0 ? 1 : 0);
  }
  return 1;
}

}  // namespace quenvar::app
