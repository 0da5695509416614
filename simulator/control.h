/* The simulator's control surface for tests, demos and benchmarks: exported
   by plain C names without the "qr" prefix, so nothing can mistake it for a
   trading library entry. Every function is safe to call from any thread. */
#ifndef JAVAWRAPPER_SIMULATOR_CONTROL_H
#define JAVAWRAPPER_SIMULATOR_CONTROL_H

#include <stdint.h>

#include "platform/callconv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The in-memory market (on by default): reference data, ticking prices,
   orders that fill, positions. Off, entries answer with simSetOutput's bytes
   or the fixed pattern below, which byte-level tests want. */
QR_EXPORT void simMarket(int32_t on);
/* One market step now, on the caller's thread: queued orders start working,
   working orders that cross the book fill (at most 5 lots a step). */
QR_EXPORT void simMarketStep(void);
/* Sets a contract's best bid and ask (its tick becomes half the spread). */
QR_EXPORT void simSetBook(const char* exchange, const char* commodity, const char* contract,
                          double bid, double ask);

/* Forgets forced results, outputs, error texts and the journal, and stops the
   simulator's callback threads. Registrations stay. */
QR_EXPORT void simReset(void);

/* From now on the named entry returns code (after doing its work, so output
   buffers are still written). simClearResult undoes it for one entry. */
QR_EXPORT void simForceResult(const char* entry, int32_t code);
QR_EXPORT void simClearResult(const char* entry);

/* The bytes the named entry writes into its output buffer (and, for entries
   that return a count, the first four bytes as the count, little-endian).
   Bytes beyond len are zero. Without this, outputs hold a fixed pattern:
   byte i is (i * 7 + 1) & 0xFF. */
QR_EXPORT void simSetOutput(const char* entry, const void* bytes, int32_t len);

/* Makes the named entry misbehave inside the library from its next call on,
   as a faulty trading library would; for testing how a caller survives it.
   kind 1 writes through a null pointer, kind 2 divides an integer by zero,
   kind 3 blocks each call until simFault(entry, 0), kind 4 probes a bad
   address the way a library does that handles the fault itself (on Windows
   IsBadReadPtr) and answers 7 when the probe says so, kind 5 takes a lock of
   the library's and writes through a null pointer inside a frame whose
   termination handler releases the lock (a call that finds the lock still
   held after 2 seconds answers 8), kind 6 leaves the processor state
   changed (see TrapWithDirtyState in misbehave.h) and traps on an
   SSE division by zero, kind 7 recurses until the stack overflows, kind 8
   raises a C++ exception (0xE06D7363) that nothing in the library catches,
   kind 9 likewise another language runtime's exception (0x0EEDFADE), kind
   10 raises the notices a debugger or runtime is sent (breakpoint, single
   step, debug-print, thread name, a continuable error-severity signal) with
   a top-level filter that continues them, and answers 10 when all came back,
   kind 11 overflows the stack below a frame whose unwind handler needs
   12 KiB of stack, kind 12 ends the calling thread inside the call; kind 0
   stops them. On Linux kinds 1, 2, 5 to 9, 11 and 12 end the process, as
   they would. */
QR_EXPORT void simFault(const char* entry, int32_t kind);

/* Where the simulator writes its log, one line per qrLogString (the bridge's
   funnel lines among them), as a real library writes its log file: the file
   at path (appended; opened per line), or standard error, prefixed
   "simulator log: ", when path is null or empty (the default). */
QR_EXPORT void simLogTo(const char* path);

/* The text qrGetErrorMessage returns for code (8-bit, kept for the life of
   the library). */
QR_EXPORT void simSetErrorText(int32_t code, const char* text);

/* The journal: one record per entry call, with the bytes of each argument.
   Integers are 4 bytes little-endian, text its bytes up to (not including)
   the zero byte, an input record its bytes, an output buffer nothing.
   simJournalArg returns the argument's length, or -1 for a null pointer, and
   copies at most cap bytes. Recording is on by default and holds at most
   200,000 calls; later calls are neither kept nor counted. */
QR_EXPORT void simJournalEnable(int32_t on);
QR_EXPORT void simJournalClear(void);
QR_EXPORT int32_t simJournalSize(void);
QR_EXPORT int32_t simJournalName(int32_t call, char* out, int32_t cap);
QR_EXPORT int32_t simJournalArgCount(int32_t call);
QR_EXPORT int32_t simJournalArg(int32_t call, int32_t arg, void* out, int32_t cap);
/* Index of the first call of entry at or after from, or -1. */
QR_EXPORT int32_t simJournalFind(const char* entry, int32_t from);

/* How many callback ids are registered, and whether id is. */
QR_EXPORT int32_t simRegisteredCount(void);
QR_EXPORT int32_t simIsRegistered(int32_t id);

/* Calls the procedure registered for id from a thread of the simulator's own,
   with a copy of bytes as its record (id 4 receives bytes as the message
   identifier text; entry points without an argument receive nothing).
   simFire waits until the procedure has returned; simFireAsync does not.
   Both return 0, or -1 when nothing is registered for id. */
QR_EXPORT int32_t simFire(int32_t id, const void* bytes, int32_t len);
QR_EXPORT int32_t simFireAsync(int32_t id, const void* bytes, int32_t len);

/* Fires count events of id from each of threads threads at once. Each record
   is len bytes (at least 8): bytes 0-3 hold the thread number and bytes 4-7
   the sequence number within that thread, little-endian; the rest is zero.
   Returns at once; simWaitIdle waits for all simulator threads to finish. */
QR_EXPORT int32_t simFireStream(int32_t id, int32_t len, int32_t threads, int32_t count);
QR_EXPORT void simWaitIdle(void);
/* simWaitIdle with a bound, for tests: 1 once every simulator thread has
   finished, 0 when some still run after ms milliseconds. */
QR_EXPORT int32_t simWaitIdleFor(int32_t ms);

/* The next call of the named entry (once) first fires count records of the
   simFireStream form (thread number 0) on the caller's own thread, as a
   library does that answers a request with events before it returns. */
QR_EXPORT void simBurst(const char* entry, int32_t id, int32_t len, int32_t count);
/* Passes each of the count pointers of records, unchanged and in order, to
   the record procedure registered for id: from one simulator thread when
   entry is null (returning once it is done), else on the caller's thread
   during the next call of the named entry (once), before its work, as a
   library does that calls back synchronously. A pointer may be unreadable on
   purpose, as from a faulty library; readable records must stay valid until
   they are passed. Returns 0, or -1 when nothing is registered for id. */
QR_EXPORT int32_t simFireRecords(const char* entry, int32_t id, const void* const* records,
                                 int32_t count);
/* Fires count records of the simFireStream form (thread number 0) from a
   simulator thread that holds the library's lock meanwhile; every entry
   called in that time waits for the lock. The lock is held on return. */
QR_EXPORT int32_t simFireLocked(int32_t id, int32_t len, int32_t count);

/* Fires count events of id from one thread at rate events per second,
   sleeping between them. Bytes 0-7 of each len-byte record (len >= 16) hold
   the sequence number and bytes 8-15 the monotonic clock in nanoseconds at
   the moment of firing (the clock Java's System.nanoTime reads on Linux). */
QR_EXPORT int32_t simFirePaced(int32_t id, int32_t len, int32_t rate, int32_t count);

#ifdef __cplusplus
}
#endif

#endif
