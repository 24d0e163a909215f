#include "fault_guard.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pw {
namespace {

// Everything the handler reads is a lock-free atomic: a signal handler may use nothing else.
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

struct Slot {
  std::atomic<bool> claimed{false};
  std::atomic<std::uintptr_t> begin{0};  // 0 while the slot guards nothing
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};

// One slot per open database file; when all are taken a file is read into memory instead of mapped.
constexpr std::size_t kSlotCount = 1024;
std::array<Slot, kSlotCount> g_slots;

struct sigaction g_previous {};
std::uintptr_t g_page_size = 4096;

// Hands a fault that is not ours to the handler installed before: call it, or perform the default action
// (re-raised: it is delivered, and ends the process, once this handler returns).
void forward(int signo, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) g_previous.sa_sigaction(signo, info, context);
    return;
  }
  const bool sent = info == nullptr || info->si_code <= 0;  // kill() or raise(), not a failed access
  if (g_previous.sa_handler == SIG_IGN && sent) return;
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signo);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
  raise(signo);
}

void on_sigbus(int signo, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  if (info != nullptr && info->si_code > 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : g_slots) {
      const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
      if (begin == 0 || address < begin) continue;
      const std::uintptr_t end = slot.end.load(std::memory_order_acquire);
      if (address >= end) continue;
      // Zero pages from the faulting page to the end of the range: a shrunken file faults once, not per page.
      const std::uintptr_t page = address & ~(g_page_size - 1);
      void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (zeros == MAP_FAILED) break;
      slot.faulted.store(true, std::memory_order_release);
      errno = saved_errno;
      return;
    }
  }
  errno = saved_errno;
  forward(signo, info, context);
}

bool install_handler() noexcept {
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0 || (page_size & (page_size - 1)) != 0) return false;
  g_page_size = static_cast<std::uintptr_t>(page_size);
  struct sigaction ours {};
  ours.sa_sigaction = on_sigbus;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&ours.sa_mask);
  if (sigaction(SIGBUS, nullptr, &g_previous) != 0) return false;
  return sigaction(SIGBUS, &ours, nullptr) == 0;
}

}  // namespace

std::optional<FaultGuard> FaultGuard::claim(const void* begin, std::size_t length) noexcept {
  static const bool installed = install_handler();
  if (!installed || begin == nullptr || length == 0) return std::nullopt;
  const auto first = reinterpret_cast<std::uintptr_t>(begin);
  // A mapping covers whole pages: its last page reaches past `length`.
  const std::uintptr_t last = (first + length + g_page_size - 1) & ~(g_page_size - 1);
  for (std::size_t i = 0; i < kSlotCount; ++i) {
    bool expected = false;
    if (!g_slots[i].claimed.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) continue;
    g_slots[i].faulted.store(false, std::memory_order_relaxed);
    g_slots[i].end.store(last, std::memory_order_release);
    g_slots[i].begin.store(first, std::memory_order_release);
    return FaultGuard(i);
  }
  return std::nullopt;
}

FaultGuard::FaultGuard(FaultGuard&& other) noexcept : slot_(other.slot_) { other.slot_ = kNoSlot; }

FaultGuard::~FaultGuard() {
  if (slot_ == kNoSlot) return;
  Slot& slot = g_slots[slot_];
  slot.begin.store(0, std::memory_order_release);
  slot.end.store(0, std::memory_order_release);
  slot.claimed.store(false, std::memory_order_release);
}

const std::atomic<bool>& FaultGuard::faulted() const noexcept {
  static const std::atomic<bool> moved_from{false};
  return slot_ == kNoSlot ? moved_from : g_slots[slot_].faulted;
}

namespace {

// One line of /proc/self/maps: "start-end perms offset dev inode [path]"; a file mapping has an inode.
bool line_maps_a_file_over(const char* line, std::uintptr_t first, std::uintptr_t last) {
  char* end = nullptr;
  const std::uintptr_t start = std::strtoull(line, &end, 16);
  if (*end != '-') return false;
  const std::uintptr_t stop = std::strtoull(end + 1, &end, 16);
  if (stop <= first || start >= last) return false;
  for (int field = 0; field < 3; ++field) {  // perms, offset, dev
    while (*end == ' ') ++end;
    while (*end && *end != ' ') ++end;
  }
  return std::strtoull(end, nullptr, 10) != 0;
}

}  // namespace

bool maps_a_file(const void* begin, std::size_t length) noexcept {
  const auto first = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t last = first + length;
  const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char buffer[8192];
  std::size_t held = 0;
  bool found = false, readable = true;
  while (!found) {
    const ssize_t n = ::read(fd, buffer + held, sizeof buffer - 1 - held);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readable = false;
    if (n <= 0) break;
    held += static_cast<std::size_t>(n);
    buffer[held] = '\0';
    char* line = buffer;
    for (char* newline; (newline = static_cast<char*>(std::memchr(line, '\n', buffer + held - line)));
         line = newline + 1) {
      *newline = '\0';
      if (line_maps_a_file_over(line, first, last)) found = true;
    }
    held = static_cast<std::size_t>(buffer + held - line);  // a line cut by the buffer's end waits for the rest
    std::memmove(buffer, line, held);
    if (held == sizeof buffer - 1) held = 0;  // no line is this long
  }
  ::close(fd);
  return found || !readable;
}

}  // namespace pw
