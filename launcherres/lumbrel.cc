// The launcher string library: LoadDLLRes, CLumbrel and nLumbrel.
#include "lumbrel/lumbrel.h"

#include <dlfcn.h>

#include "lumbrel_platform.h"
#include "lumbrel_strings.h"
#include "platform/unicode.h"

namespace {

// The library's instance: its load address, taken once when the library is attached.
const void* g_instance = nullptr;

__attribute__((constructor)) void AttachLibrary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&AttachLibrary), &info) != 0) g_instance = info.dli_fbase;
}

void LoadText(char16_t* buffer, int64_t id, int32_t size) {
  if (buffer == nullptr || size < 1) return;
  quenvar::platform::CopyUtf16(lumbrel::Text(lumbrel::LauncherLanguage(), id), buffer,
                               static_cast<size_t>(size));
}

}  // namespace

extern "C" {

int32_t nLumbrel = 0;

void LoadDLLRes(char16_t* buffer, int32_t id, int32_t size) {
  if (buffer == nullptr) return;
  // 5000 names the recovery environment that matches the platform's word size generation.
  if (id == 5000) id = lumbrel::PlatformIsAtLeast61() ? 2028 : 2011;
  LoadText(buffer, id, size);
}

}  // extern "C"

CLumbrel::CLumbrel() : instance_(g_instance) {}

CLumbrel& CLumbrel::operator=(const CLumbrel& other) {
  instance_ = other.instance_;
  return *this;
}

void CLumbrel::LoadDLLRes(char16_t* buffer, unsigned int id, int size) { LoadText(buffer, id, size); }
