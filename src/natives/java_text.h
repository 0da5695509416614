// Text handed to the JVM.
#pragma once

#include <string>
#include <string_view>

namespace natives {

// True when bytes are a sequence that NewStringUTF accepts: modified UTF-8 of
// one to three bytes per unit (surrogate halves and 0xC0 0x80 included).
bool IsModifiedUtf8(std::string_view bytes);

// The trading library's 8-bit text as modified UTF-8 for NewStringUTF: valid
// text passes unchanged, anything else is read as Windows-1252 (0xA3 is "£").
// A JVM given an invalid sequence may crash, so no other path reaches it.
std::string ToModifiedUtf8(std::string_view bytes);

}  // namespace natives
