// processCallbacks: the callback pump, on the one Java thread Java gives it.
//
// No lock is held while Java runs: the event is read in place from its slot,
// so the trading library's threads never wait for messageReceived (except for
// room in a full queue, and then never for long), and a logoff from inside
// messageReceived cannot deadlock with a library that joins its threads.
#include <jni.h>

#include <stdexcept>
#include <string>

#include "binding/errors.h"
#include "natives/frame.h"
#include "natives/onload.h"
#include "relay/queue.h"
#include "trace/trace.h"

namespace {

constexpr const char* kWhere = "Java_korvane_api_delphi_ClientAPI_processCallbacks";

// Deliver's work: the copy and the call; *outcome is kDelivered once Java
// has the event, kThrew when its handler threw.
void Hand(JNIEnv* env, jobject self, jmethodID method, jbyteArray buffer, jsize length,
          const relay::TCallback& event, trace::Outcome* outcome) {
  if (event.Length() > 0) {
    if (buffer == nullptr) throw std::invalid_argument("processCallbacks was given no buffer");
    // Checked first, so no exception is raised to clear: the buffer must
    // hold the largest record, 514 bytes.
    if (length < event.Length()) {
      throw std::length_error("Java array buffer holds " + std::to_string(length) +
                              " bytes, shorter than the " + std::to_string(event.Length()) +
                              "-byte record of event " + std::to_string(event.Id()) +
                              " (it must hold 514); the event is dropped");
    }
    env->SetByteArrayRegion(buffer, 0, event.Length(),
                            reinterpret_cast<const jbyte*>(event.Data()));
    if (env->ExceptionCheck()) {  // looked for, as JNI requires; not expected
      env->ExceptionClear();
      throw std::runtime_error("copy into the buffer failed");
    }
  }
  jvalue args[2];
  args[0].i = event.Id();
  args[1].i = event.Length();
  env->CallVoidMethodA(self, method, args);
  *outcome = trace::Outcome::kDelivered;  // Java has the event from here on
  if (env->ExceptionCheck()) {
    *outcome = trace::Outcome::kThrew;
    std::string text = "messageReceived(" + std::to_string(event.Id()) + ", " +
                       std::to_string(event.Length()) + ") threw ";
    throw std::runtime_error(text.append(natives::TakeException(env)));
  }
}

// What became of one event, for the trace: the reason is made only when
// something went wrong.
struct Handed {
  trace::Outcome outcome = trace::Outcome::kDropped;
  std::string why;
};

// Copies the record into the buffer from index 0 and calls messageReceived.
// A Java exception from either is cleared and logged; the event is then not
// delivered again. An event that never reached messageReceived is dropped.
Handed Deliver(JNIEnv* env, jobject self, jmethodID method, jbyteArray buffer, jsize length,
               const relay::TCallback& event) {
  Handed handed;
  binding::CaptureAll(kWhere, [&] {
    try {
      Hand(env, self, method, buffer, length, event, &handed.outcome);
    } catch (const std::exception& e) {
      // The funnel's text, for the event's bar too.
      if (trace::On()) {
        try {
          handed.why = e.what();
        } catch (...) {  // no memory: the bar goes without its reason
        }
      }
      throw;
    }
  });
  return handed;
}

jmethodID FindMessageReceived(JNIEnv* env, jobject self) {
  jmethodID method = nullptr;
  binding::CaptureAll(kWhere, [&] {
    natives::ScopedLocalRef cls(env, env->GetObjectClass(self));
    method = env->GetMethodID(static_cast<jclass>(cls.get()), "messageReceived", "(II)V");
    if (method == nullptr) {
      env->ExceptionClear();
      throw std::runtime_error("no method messageReceived(int, int)");
    }
  });
  return method;
}

}  // namespace

extern "C" JNIEXPORT void JNICALL
Java_korvane_api_delphi_ClientAPI_processCallbacks(JNIEnv* env, jobject self, jbyteArray buffer) {
  if (natives::gAnyMismatch.load(std::memory_order_relaxed) && natives::RefuseMismatched(kWhere))
    return;  // logged: a buffer of another type is nothing to copy into
  const jmethodID method = FindMessageReceived(env, self);
  if (method == nullptr) return;  // logged: there is nobody to deliver to
  // A Java array's length never changes: read once per pump, not per event.
  const jsize length = buffer != nullptr ? env->GetArrayLength(buffer) : 0;
  relay::PumpSession pump;
  // One wake-up drains the queue, including what arrives meanwhile; a stop
  // leaves the event after the one being delivered at the front.
  while (const relay::TCallback* event = pump.Next()) {
    const trace::Taking taking = trace::On() ? trace::Taken(event->Id()) : trace::Taking{};
    const Handed handed = Deliver(env, self, method, buffer, length, *event);
    if (taking.session != 0) {
      trace::Delivered(taking, event->Id(), event->Length(), event->EnqueuedNs(), event->Producer(),
                       pump.Depth(), handed.outcome, handed.why);
    }
    pump.Done();
  }
}
