// The lens's name and its optics: as ready-made English texts for the flat functions, as
// numbers for the handle interface.
#pragma once

#include <cstddef>

struct kelvaro_optics;

namespace kelvaro {

struct LinkState;

int ReadLensName(LinkState& link, char* name);
int ReadFocalLengthRange(LinkState& link, char* text);
int ReadMinimumObjectDistance(LinkState& link, char* text);
int ReadMaximumAperture(LinkState& link, char* text);

// The name from this call's replies alone (0x11, then 0x12 after a first part of 15 or
// more characters), cut to fit `size` (at least 1) with its NUL. Written only on success.
int ReadWholeName(LinkState& link, char* name, std::size_t size);
// The four optics numbers, decoded as the texts decode them. Written only on success.
int ReadOptics(LinkState& link, kelvaro_optics& optics);

}  // namespace kelvaro
