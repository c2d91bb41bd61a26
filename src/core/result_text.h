// The English text of a result code.
#pragma once

#include <cstddef>

namespace kelvaro {

// Writes the code's text (it begins with a space) into `out`, truncated to fit `capacity`.
void FormatResultText(int code, char* out, std::size_t capacity);

}  // namespace kelvaro
