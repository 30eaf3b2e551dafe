#include "app/prompting/controller_ui.h"

#include <atomic>

#include "app/prompting/scripted_controller_ui.h"

namespace quenvar::app {
namespace {

std::atomic<ControllerUi*> g_ui{nullptr};

ControllerUi& StandIn() {
  static ScriptedControllerUi* stand_in = new ScriptedControllerUi();  // never destroyed
  return *stand_in;
}

}  // namespace

ControllerUi& CurrentControllerUi() {
  ControllerUi* ui = g_ui.load(std::memory_order_acquire);
  return ui ? *ui : StandIn();
}

void SetControllerUi(ControllerUi* ui) {
  g_ui.store(ui, std::memory_order_release);
}

ScopedControllerUi::ScopedControllerUi(ControllerUi* ui) : previous_(g_ui.load()) {
  SetControllerUi(ui);
}

ScopedControllerUi::~ScopedControllerUi() {
  SetControllerUi(previous_);
}

}  // namespace quenvar::app
