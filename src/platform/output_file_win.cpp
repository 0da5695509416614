// The trace's file on Windows: CreateFile and overlapped WriteFile, waited
// for with a bound and cancelled past it, so a pipe nobody reads or a share
// that hangs holds the writer only for the wait it was given.
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform.h"

namespace platform {

struct OutputFile::State {
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE done = nullptr;  // the event each overlapped write signals
  uint64_t offset = 0;    // where the next write goes (a pipe ignores it)
};

OutputFile* OutputFile::Create(const std::string& path, bool* exists) {
  *exists = false;
  // "\\.\pipe\name" and other device names exist already: opened, not made.
  const bool device = path.rfind("\\\\.\\", 0) == 0;
  const HANDLE h = CreateFileA(
      path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      device ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  auto* file = new (std::nothrow) OutputFile;
  auto* state = new (std::nothrow) State;
  const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (file == nullptr || state == nullptr || done == nullptr) {
    delete file;
    delete state;
    if (done != nullptr) CloseHandle(done);
    CloseHandle(h);
    return nullptr;
  }
  state->file = h;
  state->done = done;
  file->state_ = state;
  return file;
}

OutputFile::~OutputFile() {
  CloseHandle(state_->file);
  CloseHandle(state_->done);
  delete state_;
}

long OutputFile::Write(const void* bytes, size_t size, unsigned waitMs) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(state_->offset);
  o.OffsetHigh = static_cast<DWORD>(state_->offset >> 32);
  o.hEvent = state_->done;
  ResetEvent(state_->done);
  DWORD n = 0;
  if (!WriteFile(state_->file, bytes, static_cast<DWORD>(size), nullptr, &o)) {
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (WaitForSingleObject(state_->done, waitMs) != WAIT_OBJECT_0) {
      // Past the wait: the write is taken back; what the destination took
      // of it before the cancel still counts.
      CancelIoEx(state_->file, &o);
      if (!GetOverlappedResult(state_->file, &o, &n, TRUE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_OPERATION_ABORTED) return -1;
      }
      state_->offset += n;
      return static_cast<long>(n);
    }
  }
  if (!GetOverlappedResult(state_->file, &o, &n, TRUE)) return -1;
  state_->offset += n;
  return static_cast<long>(n);
}

void WriteStandardError(const std::string& line) {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  DWORD n = 0;
  WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
}

bool AppendToFile(const char* path, const void* bytes, size_t size) noexcept {
  // Append access alone (no FILE_WRITE_DATA): the system moves each write to
  // the end of the file as it writes it. The C runtime's append mode seeks
  // to the end and then writes, two steps another thread's line can fall
  // between and be overwritten.
  const HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

}  // namespace platform
