// Iris, zoom and focus: 12-bit positions carried in the upper 12 bits of a 16-bit wire value.
#pragma once

#include <cstdint>

namespace kelvaro {

enum class Motor : std::uint8_t { kIris = 0, kZoom = 1, kFocus = 2 };

struct LinkState;

int MovePosition(LinkState& link, Motor motor, unsigned short position);
// Writes the position of the last reply that passed its checksum once the query went out:
// whatever the reply's code with stale out values (the flat policy), else only on success.
int ReadPosition(LinkState& link, Motor motor, unsigned short* position);

}  // namespace kelvaro
