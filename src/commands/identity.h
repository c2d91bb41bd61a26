// The lens's name and its optics, as ready-made English texts.
#pragma once

namespace kelvaro {

int ReadLensName(char* name);
int ReadFocalLengthRange(char* text);
int ReadMinimumObjectDistance(char* text);
int ReadMaximumAperture(char* text);

}  // namespace kelvaro
