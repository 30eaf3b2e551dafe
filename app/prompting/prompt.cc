#include "app/prompting/prompt.h"

#include <atomic>

#include "app/prompting/scripted_prompter.h"
#include "app/resources/string_ids.h"
#include "app/resources/string_table.h"

namespace quenvar::app {
namespace {

std::atomic<Prompter*> g_prompter{nullptr};

Prompter& StandIn() {
  static ScriptedPrompter* stand_in = new ScriptedPrompter();  // never destroyed: callers may outlive statics
  return *stand_in;
}

}  // namespace

Prompter& CurrentPrompter() {
  Prompter* prompter = g_prompter.load(std::memory_order_acquire);
  return prompter ? *prompter : StandIn();
}

void SetPrompter(Prompter* prompter) { g_prompter.store(prompter, std::memory_order_release); }

ScopedPrompter::ScopedPrompter(Prompter* prompter) : previous_(g_prompter.load()) { SetPrompter(prompter); }

ScopedPrompter::~ScopedPrompter() { SetPrompter(previous_); }

int ShowAppMessage(std::u16string_view text, PromptButtons buttons, PromptIcon icon, PromptWindow owner) {
  MessageRequest request;
  request.owner = owner;
  request.text = std::u16string(text);
  request.caption = std::u16string(LoadString(ids::kAppTitle));
  request.buttons = buttons;
  request.icon = icon;
  return CurrentPrompter().ShowMessage(request);
}

}  // namespace quenvar::app
