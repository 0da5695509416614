// The C library symbols of libJavaWrapper.so bound to their oldest versions,
// so the library (with its C++ runtime linked in) loads on glibc 2.17.
//
// The build machine's glibc gives every symbol its newest version: dlopen and
// the pthread functions moved into libc in 2.34 and got new versions there,
// and the static C++ runtime was built against that glibc. The link wraps
// each such symbol (-Wl,--wrap=<name>, listed in src/CMakeLists.txt), so every
// reference, the runtime's included, lands here:
//  - symbols that exist in 2.17 jump straight to that older version, which
//    today's glibc still exports and which behaves the same;
//  - symbols newer than 2.17 use the real one when this glibc has it, and a
//    plain equivalent otherwise.
// Linked into the shipped Linux library only (the sanitizer builds and the
// test programs use the system's C++ runtime as it is).
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

// __wrap_<name>: a tail jump to <name>@<version>, arguments untouched.
#define JW_OLD_VERSION(name, version)                                                \
  __asm__(".symver jw_old_" #name ", " #name "@" version                             \
          "\n"                                                                       \
          "\t.pushsection .text\n\t.globl __wrap_" #name "\n\t.hidden __wrap_" #name \
          "\n\t.type __wrap_" #name ", @function\n__wrap_" #name                     \
          ":\n"                                                                      \
          "\tjmp jw_old_" #name "@PLT\n\t.size __wrap_" #name ", .-__wrap_" #name    \
          "\n\t.popsection\n");

JW_OLD_VERSION(dladdr, "GLIBC_2.2.5")
JW_OLD_VERSION(dlclose, "GLIBC_2.2.5")
JW_OLD_VERSION(dlerror, "GLIBC_2.2.5")
JW_OLD_VERSION(dlinfo, "GLIBC_2.3.3")
JW_OLD_VERSION(dlopen, "GLIBC_2.2.5")
JW_OLD_VERSION(dlsym, "GLIBC_2.2.5")
JW_OLD_VERSION(dlvsym, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_create, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_detach, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_join, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_once, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_key_create, "GLIBC_2.2.5")
JW_OLD_VERSION(__pthread_key_create, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_key_delete, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_getspecific, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_setspecific, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_rwlock_rdlock, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_rwlock_wrlock, "GLIBC_2.2.5")
JW_OLD_VERSION(pthread_rwlock_unlock, "GLIBC_2.2.5")

namespace {

// getrandom(2), which Linux has had since 3.17.
bool Random(void* buffer, size_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const long n = syscall(SYS_getrandom, p, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// A symbol of this glibc at exactly that version, or nullptr (looked up once).
template <typename F>
F Newer(std::atomic<F>& cache, std::atomic<bool>& looked, const char* name, const char* version) {
  if (!looked.load(std::memory_order_acquire)) {
    cache.store(reinterpret_cast<F>(dlvsym(RTLD_DEFAULT, name, version)));
    looked.store(true, std::memory_order_release);
  }
  return cache.load();
}

// Thread-exit destructors where glibc has no __cxa_thread_atexit_impl: a
// list per thread, run by a key's destructor when the thread ends.
struct ExitDestructor {
  void (*destructor)(void*);
  void* object;
  ExitDestructor* next;
};
pthread_key_t gExitKey;
pthread_once_t gExitOnce = PTHREAD_ONCE_INIT;
void RunExitDestructors(void* head) {
  for (auto* e = static_cast<ExitDestructor*>(head); e != nullptr;) {
    ExitDestructor* next = e->next;
    e->destructor(e->object);
    delete e;
    e = next;
  }
}
void MakeExitKey() {
  pthread_key_create(&gExitKey, &RunExitDestructors);
}

// The object (loaded file) that holds pc, for _dl_find_object's fallback.
struct FindObject {
  uintptr_t pc;
  dl_find_object* result;
  bool found;
};
int VisitObject(dl_phdr_info* info, size_t, void* data) {
  auto* find = static_cast<FindObject*>(data);
  const ElfW(Phdr)* frames = nullptr;
  bool inside = false;
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& h = info->dlpi_phdr[i];
    if (h.p_type == PT_GNU_EH_FRAME) frames = &h;
    if (h.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + h.p_vaddr;
    if (start < low) low = start;
    if (start + h.p_memsz > high) high = start + h.p_memsz;
    if (find->pc >= start && find->pc < start + h.p_memsz) inside = true;
  }
  if (!inside) return 0;
  find->found = true;
  find->result->dlfo_flags = 0;
  find->result->dlfo_map_start = reinterpret_cast<void*>(low);
  find->result->dlfo_map_end = reinterpret_cast<void*>(high);
  find->result->dlfo_link_map = nullptr;
  find->result->dlfo_eh_frame =
      frames != nullptr ? reinterpret_cast<void*>(info->dlpi_addr + frames->p_vaddr) : nullptr;
  return 1;
}

}  // namespace

extern "C" {

// Read by the C++ runtime to skip atomics in a single-threaded process
// (glibc 2.32); "not known to be single-threaded" is always correct.
__attribute__((visibility("hidden"))) char __wrap___libc_single_threaded = 0;

// glibc 2.30: a wait against a named clock (the real one where this glibc
// has it). Without it the deadline is carried over to the realtime clock,
// the one a default condition variable waits on.
__attribute__((visibility("hidden"))) int __wrap_pthread_cond_clockwait(pthread_cond_t* cond,
                                                                        pthread_mutex_t* mutex,
                                                                        clockid_t clock,
                                                                        const timespec* deadline) {
  using Impl = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);
  static std::atomic<Impl> impl{nullptr};
  static std::atomic<bool> looked{false};
  if (Impl real = Newer(impl, looked, "pthread_cond_clockwait", "GLIBC_2.30"))
    return real(cond, mutex, clock, deadline);
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(cond, mutex, deadline);
  timespec now{}, wall{};
  clock_gettime(clock, &now);
  clock_gettime(CLOCK_REALTIME, &wall);
  int64_t ns = (deadline->tv_sec - now.tv_sec) * 1000000000LL + (deadline->tv_nsec - now.tv_nsec) +
               wall.tv_sec * 1000000000LL + wall.tv_nsec;
  if (ns < 0) ns = 0;
  const timespec until{static_cast<time_t>(ns / 1000000000LL),
                       static_cast<long>(ns % 1000000000LL)};
  return pthread_cond_timedwait(cond, mutex, &until);
}

// glibc 2.25 and 2.36, for std::random_device.
__attribute__((visibility("hidden"))) int __wrap_getentropy(void* buffer, size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  return Random(buffer, length) ? 0 : -1;
}
__attribute__((visibility("hidden"))) uint32_t __wrap_arc4random() {
  uint32_t value = 0;
  if (!Random(&value, sizeof value)) std::abort();  // no randomness: as glibc does
  return value;
}

// glibc 2.18: destructors of thread_local objects. The real one also keeps
// the library loaded while such objects live.
__attribute__((visibility("hidden"))) int __wrap___cxa_thread_atexit_impl(void (*destructor)(void*),
                                                                          void* object, void* dso) {
  using Impl = int (*)(void (*)(void*), void*, void*);
  static std::atomic<Impl> impl{nullptr};
  static std::atomic<bool> looked{false};
  if (Impl real = Newer(impl, looked, "__cxa_thread_atexit_impl", "GLIBC_2.18"))
    return real(destructor, object, dso);
  pthread_once(&gExitOnce, &MakeExitKey);
  auto* e = new (std::nothrow) ExitDestructor{destructor, object, nullptr};
  if (e == nullptr) return -1;
  e->next = static_cast<ExitDestructor*>(pthread_getspecific(gExitKey));
  return pthread_setspecific(gExitKey, e);
}

// glibc 2.35: the unwinder's lookup of a code address's unwind tables.
__attribute__((visibility("hidden"))) int __wrap__dl_find_object(void* pc, dl_find_object* result) {
  using Impl = int (*)(void*, dl_find_object*);
  static std::atomic<Impl> impl{nullptr};
  static std::atomic<bool> looked{false};
  if (Impl real = Newer(impl, looked, "_dl_find_object", "GLIBC_2.35")) return real(pc, result);
  FindObject find{reinterpret_cast<uintptr_t>(pc), result, false};
  dl_iterate_phdr(&VisitObject, &find);
  return find.found ? 0 : -1;
}

}  // extern "C"
