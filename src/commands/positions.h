// Iris, zoom and focus: 12-bit positions carried in the upper 12 bits of a 16-bit wire value.
#pragma once

#include <cstdint>

namespace kelvaro {

enum class Motor : std::uint8_t { kIris = 0, kZoom = 1, kFocus = 2 };

int MovePosition(Motor motor, unsigned short position);
int ReadPosition(Motor motor, unsigned short* position);

}  // namespace kelvaro
