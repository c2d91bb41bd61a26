// The English text of a result code.
#pragma once

#include <cstddef>

namespace kelvaro {

// The code's text without the flat texts' leading space, including the handle interface's
// codes; "Unknown Result Code" for any other. Static.
const char* ResultText(int code);

// Writes the code's text (it begins with a space) into `out`, truncated to fit `capacity`.
void FormatResultText(int code, char* out, std::size_t capacity);

}  // namespace kelvaro
