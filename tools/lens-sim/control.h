// The simulator's control channel: text commands that script a running simulated lens from
// another program, over a second pseudo-terminal or a TCP port. A Windows test program under
// Wine reaches the terminal as a second COM port; anything else can open it and write lines.
//
// Protocol. One command per line, ended by LF (a CR before it is dropped); words separated
// by spaces. Every command gets exactly one answer line, "ok ..." or "err <what was wrong>",
// ended by LF; empty lines get none. Function codes and bytes are hexadecimal ("31", "0x31",
// "0231800040"); positions, counts and milliseconds are decimal.
//
//   ping                              ok pong
//   help                              ok <the command words>
//   fault CODE silent [TIMES]         no reply to requests with function code CODE
//   fault CODE delay MS [TIMES]       the reply MS milliseconds late
//   fault CODE split AT MS [TIMES]    the first AT bytes, MS of silence, then the rest
//   fault CODE badsum [TIMES]         the reply with its checksum byte flipped
//   fault CODE wrong CODE2 [TIMES]    the reply carrying function code CODE2, checksum right
//   fault CODE short LEN [TIMES]      only the first LEN bytes of the reply
//   fault CODE raw HEX [TIMES]        exactly these bytes, whatever the request
//   fault CODE off                    removes the fault of CODE
//                                     TIMES: replies it applies to (default: until cleared);
//                                     the request still takes effect (a move still moves)
//   clear                             removes every fault set with "fault"
//   line                              ok silent 0 delay 0 noise 0 baud 0
//   line silent 0|1                   the whole lens stops (1) or resumes (0) answering
//   line delay MS                     every reply MS late
//   line noise RATE                   a wrong checksum on that share (0 to 1) of the replies
//   line baud N                       requests and replies take as long as at N baud, 8N1
//                                     (0 to 4000000; 0: as fast as the line goes)
//   frames                            ok 0001ff 022180005d   every request frame received since
//                                     the last clearframes, as hex, oldest first ("ok" if none)
//   clearframes                       ok
//   waitframes COUNT MS               ok N once N >= COUNT frames are recorded;
//                                     err timeout N after MS milliseconds with fewer
//   state                             ok iris 2048 zoom 2048 focus 2048 switch0 0e switch2 df
//                                        switch3 ff switch4 f8 speed 1500
//   state iris|zoom|focus POS         the motor stands at POS (0 to 4095)
//   state switch N BYTE               switch N (0, 2, 3 or 4) holds BYTE
//   state speed N                     motors travel N positions a second (0: at once)
//   state name TEXT                   the lens's name: the rest of the line
//   move iris|zoom|focus POS          the motor starts towards POS, as on a move request
//   send HEX                          these bytes to the host, unasked
//   hangup, unplug                    closes the lens's line as an unplugged adapter does;
//                                     the control channel stays
//   replug                            ok DEVICE: the lens on a new pseudo-terminal, as a
//                                     replugged adapter; the program's --link follows it
//   quit                              ok bye, then the simulator program ends
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "lens_sim.h"

namespace lenssim {

struct ControlAnswer {
  std::string line;   // without its LF; empty for an empty command line
  bool quit = false;  // the command was "quit"
};

// Carries out one command line on `lens`.
ControlAnswer RunControlCommand(Simulator& lens, const std::string& line);

// Serves the commands for `lens` on a line of its own (a raw pseudo-terminal unless given
// one), on a thread.
class ControlChannel {
 public:
  // `on_quit` runs on the channel's thread once the answer to "quit" has been written.
#ifndef _WIN32
  ControlChannel(Simulator& lens, std::function<void()> on_quit);  // throws on failure
#endif
  ControlChannel(Simulator& lens, std::function<void()> on_quit, std::unique_ptr<Line> line);
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  const std::string& DevicePath() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lenssim
