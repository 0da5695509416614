// Calling convention and export markers shared by the bridge and the
// simulator. This is the one place where compiler-specific spellings live.
#pragma once

// The trading library is a standard-call library on 32-bit Windows; every
// entry and every callback entry point uses this convention. Elsewhere there
// is only one convention and the macro is empty.
#if defined(_WIN32) && !defined(_WIN64)
#define QR_CALL __stdcall
#else
#define QR_CALL
#endif

// Marks a function that a module exports by its plain name.
#if defined(_WIN32)
#define QR_EXPORT __declspec(dllexport)
#else
#define QR_EXPORT __attribute__((visibility("default")))
#endif
