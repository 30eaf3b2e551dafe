#include "platform/message_window.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/mutex.h"
#include "platform/unicode.h"

// Two copies of this file live in one process (the engine library and the program each link the
// layer statically) and a window created by one copy is used by the other. So everything a call on
// a window needs is reached through the window object itself: its owner queue with the queue's
// mutex, condition variable and eventfd. Per-copy state is limited to the calling thread's own
// queue (found through a thread_local) and the list that keeps dead windows reachable.

namespace quenvar::platform {
namespace {

constexpr uint64_t kLiveMagic = 0x51574e444c495645ull;  // "QWNDLIVE"
constexpr uint64_t kDeadMagic = 0x51574e4444454144ull;  // "QWNDDEAD"

struct PendingSend;

struct Window;

struct QueuedMessage {
  Window* window;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  PendingSend* send;  // null for a posted message
};

// The message queue of one thread. Queues of threads that created windows are never freed (the
// windows point at them); the others are freed when their thread ends.
struct ThreadQueue {
  Mutex mu;
  CondVar cv{&mu};
  std::thread::id thread;            // set before the queue is shared
  bool dead GUARDED_BY(mu) = false;  // the thread has ended
  int event_fd GUARDED_BY(mu) = -1;  // created on the first MessageNotifyFd
  bool owns_windows GUARDED_BY(mu) = false;
  std::deque<QueuedMessage> sent GUARDED_BY(mu);
  std::deque<QueuedMessage> posted GUARDED_BY(mu);
  std::vector<Window*> windows GUARDED_BY(mu);  // live windows owned by this thread

  bool Pending() const REQUIRES(mu) { return !sent.empty() || !posted.empty(); }
  // Called with mu held after a message was queued.
  void Signal() REQUIRES(mu) {
    cv.SignalAll();
    if (event_fd >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(event_fd, &one, sizeof(one));
    }
  }
  // Called with mu held when nothing is pending any more.
  void DrainSignal() REQUIRES(mu) {
    if (event_fd >= 0) {
      uint64_t value;
      [[maybe_unused]] ssize_t n = read(event_fd, &value, sizeof(value));
    }
  }
};

// A sent message's reply slot, on the sender's stack. Guarded by the sender queue's mutex.
struct PendingSend {
  ThreadQueue* sender = nullptr;
  bool done GUARDED_BY(sender->mu) = false;
  LRESULT result GUARDED_BY(sender->mu) = 0;
};

struct Window {
  std::atomic<uint64_t> magic{kLiveMagic};
  ThreadQueue* queue = nullptr;
  WindowProcedure procedure;
  Window* next_shell = nullptr;  // the list of every window this copy created
};

// Every window this copy ever created, live or dead: never freed, so a handle stays safe to test.
Mutex g_shell_mu;
Window* g_shells GUARDED_BY(g_shell_mu) = nullptr;

void Complete(PendingSend* send, LRESULT result) {
  MutexLock lock(&send->sender->mu);
  send->result = result;
  send->done = true;
  // Notify under the lock: once it is released the sender may return and its queue may go away.
  send->sender->cv.SignalAll();
}

void ReleaseSenders(std::vector<PendingSend*>* sends) {
  for (PendingSend* send : *sends) Complete(send, 0);
  sends->clear();
}

// Removes every queued message of window from queue (mu held), collecting blocked senders.
void DropMessagesFor(ThreadQueue* queue, Window* window, std::vector<PendingSend*>* senders)
    REQUIRES(queue->mu) {
  for (auto* list : {&queue->sent, &queue->posted}) {
    for (auto it = list->begin(); it != list->end();) {
      if (it->window == window) {
        if (it->send) senders->push_back(it->send);
        it = list->erase(it);
      } else {
        ++it;
      }
    }
  }
}

// Owns the calling thread's queue in this copy; at thread exit the thread's windows die and blocked
// senders are released.
class QueueHolder {
 public:
  ~QueueHolder() {
    if (!queue_) return;
    std::vector<PendingSend*> senders;
    bool free_queue;
    {
      MutexLock lock(&queue_->mu);
      queue_->dead = true;
      for (Window* window : queue_->windows) window->magic.store(kDeadMagic);
      queue_->windows.clear();
      for (auto* list : {&queue_->sent, &queue_->posted}) {
        for (const QueuedMessage& m : *list) {
          if (m.send) senders.push_back(m.send);
        }
        list->clear();
      }
      if (queue_->event_fd >= 0) {
        close(queue_->event_fd);
        queue_->event_fd = -1;
      }
      free_queue = !queue_->owns_windows;
    }
    ReleaseSenders(&senders);
    if (free_queue) delete queue_;
  }

  ThreadQueue* Get() {
    if (!queue_) {
      queue_ = new ThreadQueue;
      queue_->thread = std::this_thread::get_id();
    }
    return queue_;
  }

 private:
  ThreadQueue* queue_ = nullptr;
};

thread_local QueueHolder t_queue;

// The registered message names of this copy.
Mutex g_message_names_mu;
std::unordered_map<std::u16string, UINT>* MessageNames() REQUIRES(g_message_names_mu) {
  static auto* names = new std::unordered_map<std::u16string, UINT>;
  return names;
}
std::unordered_map<UINT, bool>* UsedMessageNumbers() REQUIRES(g_message_names_mu) {
  static auto* used = new std::unordered_map<UINT, bool>;
  return used;
}

Window* AsWindow(HWND handle) {
  return reinterpret_cast<Window*>(handle);
}

bool LiveHandle(HWND handle) {
  if (handle == nullptr || reinterpret_cast<HANDLE>(handle) == INVALID_HANDLE_VALUE) return false;
  return AsWindow(handle)->magic.load() == kLiveMagic;
}

// Calls the procedure of a queued message (no lock held) and answers its sender.
void Dispatch(const QueuedMessage& m) {
  LRESULT result = 0;
  if (m.window->magic.load() == kLiveMagic) {
    result = m.window->procedure(reinterpret_cast<HWND>(m.window), m.message, m.wparam, m.lparam);
  }
  if (m.send) Complete(m.send, result);
}

}  // namespace

HWND CreateMessageWindow(WindowProcedure procedure) {
  ThreadQueue* queue = t_queue.Get();
  Window* window = new Window;
  window->queue = queue;
  window->procedure = std::move(procedure);
  {
    MutexLock lock(&queue->mu);
    queue->owns_windows = true;
    queue->windows.push_back(window);
  }
  {
    MutexLock lock(&g_shell_mu);
    window->next_shell = g_shells;
    g_shells = window;
  }
  return reinterpret_cast<HWND>(window);
}

void DestroyMessageWindow(HWND handle) {
  if (!LiveHandle(handle)) return;
  Window* window = AsWindow(handle);
  ThreadQueue* queue = window->queue;
  std::vector<PendingSend*> senders;
  {
    MutexLock lock(&queue->mu);
    window->magic.store(kDeadMagic);
    std::erase(queue->windows, window);
    DropMessagesFor(queue, window, &senders);
    if (!queue->Pending()) queue->DrainSignal();
  }
  // The procedure stays with the shell: this call may come from inside it.
  ReleaseSenders(&senders);
}

bool IsWindow(HWND handle) {
  return LiveHandle(handle);
}

LRESULT SendMessage(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!LiveHandle(handle)) return 0;
  Window* window = AsWindow(handle);
  ThreadQueue* target = window->queue;
  // The owner thread calls the procedure directly, whichever copy of the layer created the window.
  if (target->thread == std::this_thread::get_id()) {
    return window->procedure(handle, message, wparam, lparam);
  }
  ThreadQueue* self = t_queue.Get();
  PendingSend send;
  send.sender = self;
  {
    MutexLock lock(&target->mu);
    if (target->dead || window->magic.load() != kLiveMagic) return 0;
    target->sent.push_back(QueuedMessage{window, message, wparam, lparam, &send});
    target->Signal();
  }
  // While waiting, messages sent to this thread's own windows are dispatched, so two threads that
  // send to each other cannot deadlock.
  self->mu.Lock();
  send.sender->mu.AssertHeld();  // the sender is this thread's queue
  while (!send.done) {
    if (!self->sent.empty()) {
      QueuedMessage m = self->sent.front();
      self->sent.pop_front();
      if (!self->Pending()) self->DrainSignal();
      self->mu.Unlock();
      Dispatch(m);
      self->mu.Lock();
      send.sender->mu.AssertHeld();
      continue;
    }
    self->cv.Wait();
  }
  const LRESULT result = send.result;
  self->mu.Unlock();
  return result;
}

bool PostMessage(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!LiveHandle(handle)) return false;
  Window* window = AsWindow(handle);
  ThreadQueue* target = window->queue;
  MutexLock lock(&target->mu);
  if (target->dead || window->magic.load() != kLiveMagic) return false;
  target->posted.push_back(QueuedMessage{window, message, wparam, lparam, nullptr});
  target->Signal();
  return true;
}

// Numbers come from a hash of the upper-cased name, so the program's copy and the engine's copy
// of this layer (each with its own table) agree on a name's number. Only when two different names
// of one copy collide does the later one probe to the next free number, and then the copies agree
// only if they registered the names in the same order.
UINT RegisterWindowMessage(std::u16string_view name) {
  if (name.empty()) return 0;
  std::u16string key(name);
  for (char16_t& c : key) c = AsciiUpper(c);
  MutexLock lock(&g_message_names_mu);
  std::unordered_map<std::u16string, UINT>* names = MessageNames();
  std::unordered_map<UINT, bool>* used = UsedMessageNumbers();
  auto found = names->find(key);
  if (found != names->end()) return found->second;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char16_t c : key) {
    hash = (hash ^ (c & 0xFF)) * 16777619u;
    hash = (hash ^ (c >> 8)) * 16777619u;
  }
  UINT number = 0xC000 + hash % 0x4000;
  while (used->count(number)) number = number == 0xFFFF ? 0xC000 : number + 1;
  (*used)[number] = true;
  (*names)[key] = number;
  return number;
}

size_t PumpMessages() {
  ThreadQueue* self = t_queue.Get();
  size_t dispatched = 0;
  self->mu.Lock();
  // Posted messages that arrive while pumping wait for the next call, so a procedure that posts to
  // itself cannot keep this loop running; sent messages are always served since senders block.
  size_t posted_budget = self->posted.size();
  while (true) {
    QueuedMessage m;
    if (!self->sent.empty()) {
      m = self->sent.front();
      self->sent.pop_front();
    } else if (posted_budget > 0 && !self->posted.empty()) {
      m = self->posted.front();
      self->posted.pop_front();
      --posted_budget;
    } else {
      break;
    }
    self->mu.Unlock();
    Dispatch(m);
    ++dispatched;
    self->mu.Lock();
  }
  if (!self->Pending()) self->DrainSignal();
  self->mu.Unlock();
  return dispatched;
}

bool WaitForMessages(uint32_t timeout_ms) {
  ThreadQueue* self = t_queue.Get();
  MutexLock lock(&self->mu);
  if (timeout_ms == UINT32_MAX) {
    while (!self->Pending()) self->cv.Wait();
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!self->Pending()) {
    if (!self->cv.WaitUntil(deadline)) return self->Pending();
  }
  return true;
}

int MessageNotifyFd() {
  ThreadQueue* self = t_queue.Get();
  MutexLock lock(&self->mu);
  if (self->event_fd < 0) {
    self->event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (self->Pending()) self->Signal();
  }
  return self->event_fd;
}

}  // namespace quenvar::platform
