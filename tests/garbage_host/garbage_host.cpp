// A stand-in for the library host that breaks the protocol on purpose, for
// host_tests (chosen with JAVAWRAPPER_TEST_HOST). It answers every call with
// 0 except as JW_GARBAGE says, which names one fault:
//   ring-id          on the signal, an event whose id no record has
//   ring-length      on the signal, event 5 one byte longer than its record
//   ring-huge        on the signal, event 5 claiming almost 2 GiB
//   pad-past-head    on the signal, a pad record with only its header published
//   head-back        on the signal, the ring's head behind its tail
//   head-forward     on the signal, the head more than a ring ahead
//   head-odd         on the signal, the head 4 bytes on (no whole header)
//   reply-bytes      the load's reply claims text past the call slot
//   reply-state      the load's reply writes a state no side uses
//   marks            during the load: event 5 (first byte 1), the session
//                    mark, event 5 (first byte 2); then answers normally
// The ring's faults are written when the test sends SIGUSR1 (after its
// initialise returned). It takes no library: nothing it answers is real.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "hostlink/shared.h"

using namespace hostlink;

namespace {

Shared* gShared = nullptr;
std::string gFault;
volatile sig_atomic_t gSpoil = 0;

void Wake(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// Writes one record at the ring's head as given, and moves the head to
// newHead (the true end of the record unless a fault says otherwise).
void Put(int32_t id, int32_t length, size_t bytes, uint8_t first) {
  Ring& ring = gShared->ring;
  const uint64_t head = ring.head.load();
  const size_t at = static_cast<size_t>(head % kRingBytes);
  std::memcpy(ring.bytes + at, &id, 4);
  std::memcpy(ring.bytes + at + 4, &length, 4);
  std::memset(ring.bytes + at + 8, first, bytes);
  ring.head.store(head + 8 + ((bytes + 7) & ~size_t{7}));
  ring.dataSeq.fetch_add(1);
  Wake(&ring.dataSeq);
}

void SetHead(uint64_t head) {
  gShared->ring.head.store(head);
  gShared->ring.dataSeq.fetch_add(1);
  Wake(&gShared->ring.dataSeq);
}

// The garbage written into the ring once the load is answered.
void SpoilRing() {
  Ring& ring = gShared->ring;
  const uint64_t tail = ring.tail.load();
  if (gFault == "ring-id") {
    Put(9999, 27, 27, 0x11);
  } else if (gFault == "ring-length") {
    Put(5, 28, 28, 0x22);
  } else if (gFault == "ring-huge") {
    const int32_t id = 5, length = 0x7FFFFFF0;
    const size_t at = static_cast<size_t>(ring.head.load() % kRingBytes);
    std::memcpy(ring.bytes + at, &id, 4);
    std::memcpy(ring.bytes + at + 4, &length, 4);
    SetHead(ring.head.load() + 64);
  } else if (gFault == "pad-past-head") {
    Put(kPad, 0, 0, 0);  // a pad claims the rest of the ring; 8 bytes are published
  } else if (gFault == "head-back") {
    Put(5, 27, 27, 0x44);  // delivered, so the bridge's tail moves on
    for (int i = 0; i < 10000 && ring.tail.load() == tail; ++i) usleep(1000);
    SetHead(tail);
  } else if (gFault == "head-forward") {
    SetHead(tail + kRingBytes + 8);
  } else if (gFault == "head-odd") {
    SetHead(tail + 4);
  }
}

void Serve(int index) {
  CallSlot& s = gShared->slots[index];
  for (;;) {
    const uint32_t state = s.state.load();
    if (state == kExit) {
      s.state.store(kFree);
      return;
    }
    if (state != kRequest) {
      usleep(200);
      continue;
    }
    s.result = 0;
    s.fault = 0;
    s.resultBytes = 0xFFFFFFFFu;  // no text
    const bool load = s.op == kOpLoad;
    uint32_t reply = kReply;
    if (load && gFault == "reply-bytes") {
      s.result = 55;
      s.resultBytes = static_cast<uint32_t>(kSlotData + 100);
    } else if (load && gFault == "reply-state") {
      reply = 77;
    } else if (load && gFault == "marks") {
      Put(5, 27, 27, 1);
      Put(kSessionMark, 0, 0, 0);
      Put(5, 27, 27, 2);
    }
    s.state.store(reply);
    Wake(&s.state);
  }
}

}  // namespace

int main() {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (const char* fault = std::getenv("JW_GARBAGE")) gFault = fault;
  struct sigaction spoil {};
  spoil.sa_handler = [](int) { gSpoil = 1; };
  spoil.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &spoil, nullptr);
  Hello hello{};
  iovec iov{&hello, sizeof hello};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  if (recvmsg(3, &msg, 0) != static_cast<ssize_t>(sizeof hello)) return 2;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return 2;
  int memory;
  std::memcpy(&memory, CMSG_DATA(c), sizeof memory);
  void* at = mmap(nullptr, hello.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
  if (at == MAP_FAILED) return 2;
  gShared = static_cast<Shared*>(at);
  std::thread([] {
    while (gSpoil == 0) usleep(1000);
    SpoilRing();
  }).detach();
  for (;;) {
    StartMirror start{};
    const ssize_t n = recv(3, &start, sizeof start, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (n == sizeof start && start.slot >= 0 && start.slot < kSlots)
      std::thread(&Serve, start.slot).detach();
  }
  std::_Exit(0);
}
