#include "datadisk/datadisk_env.h"

#include <atomic>

namespace quillden {
namespace {
std::atomic<quenvar::platform::Env*> g_env{nullptr};
}  // namespace

quenvar::platform::Env* DatadiskEnv() {
  quenvar::platform::Env* env = g_env.load();
  return env ? env : quenvar::platform::Env::Default();
}

void SetDatadiskEnvForTesting(quenvar::platform::Env* env) { g_env.store(env); }

}  // namespace quillden
