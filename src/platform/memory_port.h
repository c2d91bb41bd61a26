// A serial device made of scripted bytes, for fuzzing and for unit tests of the core: reads
// take the script's bytes at full speed, its pauses move a fake clock on (every time-out is
// counted on it), and what the library writes is recorded. Built in place of the real serial
// device and clock, never into the library that hosts load. Every device name opens it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvaro::platform::memory {

// Bytes the lens sends, delivered to reads in this chunk.
void Send(const std::uint8_t* bytes, std::size_t count);
// Silence of `ms` before what follows. A pause also marks what has not arrived yet when a
// request is sent: what comes before the first one has already arrived.
void Pause(int ms);

// Forgets the script and the bytes written, and brings a gone device back.
void Reset();

// The bytes written since Reset, at most `capacity` of them; returns how many there were.
std::size_t Written(std::uint8_t* out, std::size_t capacity);

// The device goes away (as an unplugged adapter: reads and writes fail), or opens refuse
// their line settings.
void SetGone(bool gone);
void RefuseSettings(bool refuse);

// The fake clock, in milliseconds since the program started.
long long NowMs();

}  // namespace kelvaro::platform::memory
