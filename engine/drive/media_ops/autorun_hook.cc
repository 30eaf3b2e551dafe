// UTL_AutoRunHook / UTL_AutoRunUnhook over a POSIX shared memory object.
#include "drive/media_ops/autorun_hook.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/message_window.h"
#include "platform/mutex.h"
#include "quillden/util.h"

namespace quillden::drive {
namespace {

static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "the shared word must be lock-free across processes");

// The shared word, mapped once per process and name.
struct SharedWord {
  std::string name;
  std::atomic<uint32_t>* word = nullptr;
};

quenvar::platform::Mutex g_mutex;
SharedWord& Mapped() REQUIRES(g_mutex) {
  static auto* mapped = new SharedWord();
  return *mapped;
}

std::atomic<uint32_t>* MapWord() {
  quenvar::platform::MutexLock lock(&g_mutex);
  SharedWord* mapped = &Mapped();
  const std::string name = AutoRunSharedName();
  if (mapped->word != nullptr && mapped->name == name) return mapped->word;
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  ::fchmod(fd, 0666);  // every user's programs share the one hook, as on the desktop
  struct stat st {};
  if (::fstat(fd, &st) != 0 || (st.st_size < 4 && ::ftruncate(fd, 4) != 0)) {
    ::close(fd);
    return nullptr;
  }
  void* memory = ::mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (memory == MAP_FAILED) return nullptr;
  if (mapped->word != nullptr) ::munmap(mapped->word, 4);
  mapped->word = new (memory) std::atomic<uint32_t>;  // a fresh object is zero-filled
  mapped->name = name;
  return mapped->word;
}

bool ProcessAlive(uint32_t pid) {
  return pid != 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

uint32_t OwnHandle() {
  return static_cast<uint32_t>(::getpid());
}

UINT QueryCancelAutoPlayMessage() {
  static const UINT message = quenvar::platform::RegisterWindowMessage(u"QueryCancelAutoPlay");
  return message;
}

}  // namespace

std::string AutoRunSharedName() {
  const char* name = std::getenv("QUENVAR_AUTORUN_SHM");
  return name != nullptr && name[0] == '/' ? name : "/quenvar-autorun";
}

bool AutoRunHookInstalled() {
  std::atomic<uint32_t>* word = MapWord();
  return word != nullptr && ProcessAlive(word->load());
}

bool AutoRunHookProcedure(int code, HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                          LRESULT* reply) {
  (void)window;
  (void)wparam;
  (void)lparam;
  if (code < 0 || code == kHookCodeNoRemove) return false;
  if (message != QueryCancelAutoPlayMessage() || !AutoRunHookInstalled()) return false;
  *reply = TRUE;  // cancel AutoPlay
  return true;
}

}  // namespace quillden::drive

using namespace quillden::drive;

QUILLDEN_EXTERN_C QUILLDEN_API BOOL UTL_AutoRunHook(void) {
  std::atomic<uint32_t>* word = MapWord();
  if (word == nullptr) return FALSE;
  uint32_t current = word->load();
  for (;;) {
    if (ProcessAlive(current)) return FALSE;  // installed already, by us or another program
    if (word->compare_exchange_weak(current, OwnHandle())) return TRUE;
  }
}

QUILLDEN_EXTERN_C QUILLDEN_API BOOL UTL_AutoRunUnhook(void) {
  std::atomic<uint32_t>* word = MapWord();
  if (word == nullptr) return FALSE;
  uint32_t expected = OwnHandle();
  // Only the installer can remove its hook; the handle stays when removal fails.
  return word->compare_exchange_strong(expected, 0) ? TRUE : FALSE;
}
