// The library host's system services on Linux: posix_spawn (never fork in a
// JVM), a memfd passed over a socketpair, futexes on shared words.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/host_link.h"

extern char** environ;

namespace platform {

const char* HostFileName(int) {
  return "javawrapper-host";  // one bitness: the library is this process's kind
}

bool SpawnHost(const std::string& exe, HostProcess* out, std::string* whyNot) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    *whyNot = std::string("socketpair: ") + std::strerror(errno);
    return false;
  }
  // dup2 onto itself keeps close-on-exec: the child's end must not be 3 yet.
  int childEnd = ends[1];
  if (childEnd == 3) {
    childEnd = fcntl(ends[1], F_DUPFD_CLOEXEC, 4);
    close(ends[1]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, childEnd, 3);
  // The JVM blocks and redirects signals for itself; the host starts clean.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(childEnd);
  if (rc != 0) {
    close(ends[0]);
    *whyNot = exe + ": " + std::strerror(rc);
    return false;
  }
  out->pid = pid;
  out->socket = ends[0];
  return true;
}

void* CreateSharedMemory(size_t bytes, int* handle, const uint32_t*, int) {
  // The system call itself: the C library's wrapper is newer than the
  // oldest C library the bridge loads on.
  const int fd = static_cast<int>(syscall(SYS_memfd_create, "javawrapper-host", MFD_CLOEXEC));
  if (fd < 0) return nullptr;
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    close(fd);
    return nullptr;
  }
  void* address = MapSharedMemory(fd, bytes);
  if (address == nullptr) {
    close(fd);
    return nullptr;
  }
  *handle = fd;
  return address;
}

void* MapSharedMemory(int handle, size_t bytes) {
  void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, handle, 0);
  return address == MAP_FAILED ? nullptr : address;
}

void UnmapSharedMemory(void* address, size_t bytes) {
  if (address != nullptr) munmap(address, bytes);
}

void CloseDescriptor(int handle) {
  if (handle >= 0) close(handle);
}

bool SendOnSocket(int socket, const void* bytes, size_t length, int handle) {
  iovec iov{const_cast<void*>(bytes), length};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (handle >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &handle, sizeof(int));
  }
  for (;;) {
    const ssize_t n = sendmsg(socket, &msg, MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(length)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

long ReceiveFromSocket(int socket, void* bytes, size_t capacity, int timeoutMs, int* handle) {
  if (handle != nullptr) *handle = -1;
  pollfd p{socket, POLLIN, 0};
  for (;;) {
    const int ready = poll(&p, 1, timeoutMs);
    if (ready > 0) break;
    if (ready < 0 && errno == EINTR) continue;
    return -1;
  }
  iovec iov{bytes, capacity};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      if (handle != nullptr && *handle < 0) {
        *handle = fd;
      } else {
        close(fd);  // nothing asked for it
      }
    }
  }
  return static_cast<long>(n);
}

void WaitOnWord(std::atomic<uint32_t>* word, uint32_t expected, unsigned timeoutMs) {
  timespec t{static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000};
  // Not FUTEX_PRIVATE_FLAG: the word is shared with another process.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, &t, nullptr, 0);
}

void WakeWord(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

bool HostEnded(int pid, bool block, std::string* how) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  if (r < 0) {
    *how = "gone";  // reaped elsewhere
    return true;
  }
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    *how = "signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  } else {
    *how = "exit status " + std::to_string(WEXITSTATUS(status));
  }
  return true;
}

bool HostHasEnded(int pid, std::string* how) {
  siginfo_t info{};
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    *how = "gone";  // reaped already
    return true;
  }
  if (info.si_pid == 0) return false;
  if (info.si_code == CLD_EXITED) {
    *how = "exit status " + std::to_string(info.si_status);
  } else {
    *how = "signal " + std::to_string(info.si_status) + " (" + strsignal(info.si_status) + ")";
  }
  return true;
}

void KillHost(int pid) {
  if (pid > 0) kill(pid, SIGKILL);
}

namespace {
// Made on the first hook and deleted when the bridge leaves: a key left
// behind would run its destructor, code of the unmapped bridge, in every
// thread that ends afterwards.
std::mutex gEndKeyLock;
pthread_key_t gEndKey;
bool gEndKeyMade = false;
void RunEndHook(void* value) {
  auto* hook = static_cast<void**>(value);
  reinterpret_cast<void (*)(void*)>(hook[0])(hook[1]);
  delete[] hook;
}
}  // namespace

bool SetThreadEndHook(void (*hook)(void*), void* value) {
  std::lock_guard<std::mutex> lock(gEndKeyLock);
  if (!gEndKeyMade) gEndKeyMade = pthread_key_create(&gEndKey, &RunEndHook) == 0;
  if (!gEndKeyMade) return false;
  void** pair = new (std::nothrow) void*[2];
  if (pair == nullptr) return false;
  pair[0] = reinterpret_cast<void*>(hook);
  pair[1] = value;
  delete[] static_cast<void**>(pthread_getspecific(gEndKey));
  return pthread_setspecific(gEndKey, pair) == 0;
}

void ForgetThreadEndHooks() {
  std::lock_guard<std::mutex> lock(gEndKeyLock);
  if (!gEndKeyMade) return;
  // Other threads' pairs (two pointers each) stay allocated: the system
  // offers no way to reach them.
  delete[] static_cast<void**>(pthread_getspecific(gEndKey));
  pthread_key_delete(gEndKey);
  gEndKeyMade = false;
}

void EndWithParent() {
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent || parent == 1) _exit(0);  // it went before the request
}

void CloseDescriptorsAbove(int keepUpTo) {
  // The kept ones do not pass to the library's own children either.
  for (int fd = 3; fd <= keepUpTo; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  const int own = dirfd(dir);
  // Collected first: closing while reading the directory skips entries.
  int fds[4096];
  int count = 0;
  while (dirent* e = readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    if (fd > keepUpTo && fd != own && count < 4096) fds[count++] = fd;
  }
  closedir(dir);
  for (int i = 0; i < count; ++i) close(fds[i]);
}

int HostSocket(int, char**) {
  EndWithParent();
  CloseDescriptorsAbove(3);
  return 3;
}

}  // namespace platform
