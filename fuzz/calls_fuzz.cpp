// Every flat and every handle-interface call against an arbitrary reply stream, on the
// in-memory port. Checks what must hold whatever the lens sends: only documented codes,
// every text NUL-terminated within its documented room and nothing written past it, the
// kept name within 146 characters, nothing written through NULL, nothing sent for a call
// refused as invalid, and frame-ended and timed reads agreeing on a stream that is one
// complete frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Kelvaro32.h"
#include "core/frame.h"
#include "core/lens_pool.h"
#include "core/link_state.h"
#include "kelvaro.h"
#include "platform/memory_port.h"

namespace memory = kelvaro::platform::memory;

namespace {

// The input, read front to back; past its end every byte is 0.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
};

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Among(int code, std::initializer_list<int> codes) {
  for (int c : codes) {
    if (c == code) return true;
  }
  return false;
}

// The codes an exchange can end with on an open port.
void ExchangeCode(int code) { Check(Among(code, {0, 1, 4, 6, 12, 13})); }

// A text buffer with `room` bytes the call may use, then a guard that must stay untouched.
struct Text {
  static constexpr std::size_t kGuard = 64;
  char bytes[400];
  std::size_t room;
  explicit Text(std::size_t room_bytes) : room(room_bytes) { std::memset(bytes, '#', sizeof bytes); }
  void Terminated() {
    Check(std::memchr(bytes, '\0', room) != nullptr);
    for (std::size_t i = room; i < room + kGuard; ++i) Check(bytes[i] == '#');
  }
};

// The rest of the input, as the lens's replies: chunks of bytes and pauses.
void ScriptReplies(Input& in) {
  while (in.size > 0) {
    const std::uint8_t head = in.Byte();
    if (head & 0x80) {
      memory::Pause((head & 0x7F) * 8);  // up to about a second
      continue;
    }
    std::uint8_t chunk[128];
    std::size_t n = 0;
    while (n < head && in.size > 0) chunk[n++] = in.Byte();
    memory::Send(chunk, n);
  }
}

void FlatCall(std::uint8_t op, Input& args) {
  unsigned short value = 0xBEEF;
  const bool null_out = args.Byte() & 1;
  unsigned short* out = null_out ? nullptr : &value;
  switch (op % 14) {
    case 0: ExchangeCode(Connect()); break;
    case 1: ExchangeCode(SetLensZoom(args.Word())); break;
    case 2: ExchangeCode(GetLensIris(out)); break;
    case 3: {
      const int code = GetLensFocus(out);
      ExchangeCode(code);
      if (!null_out) Check(value <= 4095);  // the request always goes out on this port
      break;
    }
    case 4: ExchangeCode(SetSwitch4Host(args.Byte())); break;
    case 5:
    case 6: {
      Text text(23);
      const int number = op % 14 == 5 ? 0 : 4;
      ExchangeCode(number == 0 ? GetSwitch0Host(text.bytes, out) : GetSwitch4Host(text.bytes, out));
      text.Terminated();
      break;
    }
    case 7: ExchangeCode(Get2XMag(out)); break;
    case 8: ExchangeCode(SetAutoIris(args.Byte())); break;
    case 9: {
      Text name(147);
      ExchangeCode(GetLensName(name.bytes));
      name.Terminated();
      Check(std::strlen(name.bytes) <= 146);
      Check(std::strlen(kelvaro::FlatLens().Link().LensNameText) <= 146);
      break;
    }
    case 10: {
      Text text(55);
      ExchangeCode(GetLensFocalLengthRange(text.bytes));
      text.Terminated();
      break;
    }
    case 11: {
      Text text(27);
      ExchangeCode(GetLensMOD(text.bytes));
      text.Terminated();
      break;
    }
    case 12: {
      Text text(19);
      ExchangeCode(GetLensOpenFNo(text.bytes));
      text.Terminated();
      break;
    }
    default: {
      Text text(27 + 8);
      std::memcpy(text.bytes, "result:", 8);
      GetResultString(static_cast<int>(args.Word() << 16 | args.Word()), text.bytes);
      text.Terminated();
      break;
    }
  }
}

void HandleCall(kelvaro_lens* lens, std::uint8_t op, Input& args) {
  const int selector = static_cast<std::int8_t>(args.Byte());  // axes and switch numbers, good or bad
  std::uint8_t written[16];
  const std::size_t before = memory::Written(written, 0);
  int code = -1;
  bool valid = true;
  switch (op % 8) {
    case 0: code = kelvaro_connect(lens); break;
    case 1:
      valid = selector >= 0 && selector <= 2;
      code = kelvaro_move(lens, selector, args.Word());
      break;
    case 2: {
      unsigned short position = 0xBEEF;
      valid = selector >= 0 && selector <= 2;
      code = kelvaro_position(lens, selector, &position);
      Check(code == 0 ? position <= 4095 : position == 0xBEEF);
      break;
    }
    case 3:
      valid = selector == 0 || selector == 2 || selector == 3 || selector == 4;
      code = kelvaro_set_switch(lens, selector, args.Byte());
      break;
    case 4: {
      unsigned char byte = 0x5A;
      valid = selector == 0 || selector == 2 || selector == 3 || selector == 4;
      code = kelvaro_switch(lens, selector, &byte);
      if (code != 0) Check(byte == 0x5A);
      break;
    }
    case 5: {
      const std::size_t size = args.Byte() % 40 == 0 ? 0 : (args.Byte() % 3 == 0 ? args.Byte() % 8 : 300);
      Text name(size);
      valid = size > 0;
      code = kelvaro_name(lens, name.bytes, size);
      if (code == 0) {
        name.Terminated();
        Check(std::strlen(name.bytes) <= 292);
      } else {
        for (std::size_t i = 0; i < size + Text::kGuard; ++i) Check(name.bytes[i] == '#');
      }
      break;
    }
    case 6: {
      kelvaro_optics optics{-1, -1, -1, -1};
      code = kelvaro_read_optics(lens, &optics);
      if (code != 0) Check(optics.focal_min_mm == -1 && optics.f_number == -1);
      break;
    }
    default: {
      const int connected = kelvaro_is_connected(lens);
      Check(connected == 0);  // not watched
      Check(kelvaro_result_text(static_cast<int>(args.Word())) != nullptr);
      return;
    }
  }
  if (!valid) {
    Check(code == KELVARO_INVALID_ARGUMENT);
    Check(memory::Written(written, 0) == before);  // nothing sent
    return;
  }
  ExchangeCode(code);
}

// A stream that is one whole frame must end both kinds of read alike.
void FramingsAgree(const std::uint8_t* frame, std::size_t count, Input& pauses) {
  int codes[2];
  unsigned short values[2] = {0, 0};
  for (int framing = 0; framing < 2; ++framing) {
    memory::Reset();
    kelvaro_options options{framing, 0, 0};
    kelvaro_lens* lens = nullptr;
    Check(kelvaro_open("lens", &options, &lens) == 0);
    Input again = pauses;
    memory::Pause(0);
    for (std::size_t i = 0; i < count; ++i) {
      memory::Send(frame + i, 1);
      if (again.Byte() & 1) memory::Pause(again.Byte() % 160);
    }
    codes[framing] = kelvaro_position(lens, KELVARO_ZOOM, &values[framing]);
    Check(kelvaro_close(lens) == 0);
  }
  Check(codes[0] == codes[1]);
  Check(values[0] == values[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    // Initialised without starting the flat functions' timer, so no check takes a reply
    // meant for a call.
    kelvaro::FlatLens().Link().initialised = 1;
    return true;
  }();
  (void)ready;
  Input in{data, size};
  const std::uint8_t mode = in.Byte();
  memory::Reset();

  if (mode % 3 == 0) {
    Check(OpenComPort("lens") == 0);
    const std::uint8_t calls = static_cast<std::uint8_t>(1 + in.Byte() % 4);
    std::uint8_t ops[4];
    std::uint8_t args[4][8];
    for (int i = 0; i < calls; ++i) {
      ops[i] = in.Byte();
      for (std::uint8_t& a : args[i]) a = in.Byte();
    }
    ScriptReplies(in);
    for (int i = 0; i < calls; ++i) {
      Input call_args{args[i], sizeof args[i]};
      FlatCall(ops[i], call_args);
    }
    Check(CloseComPort() == 0);
  } else if (mode % 3 == 1) {
    kelvaro_options options{in.Byte() & 1, 0, 0};
    kelvaro_lens* lens = nullptr;
    Check(kelvaro_open("lens", &options, &lens) == 0);
    // Several calls, so that one may follow a failed read, while its reply may still come.
    const std::uint8_t calls = static_cast<std::uint8_t>(1 + in.Byte() % 3);
    std::uint8_t ops[3];
    std::uint8_t args[3][8];
    for (int i = 0; i < calls; ++i) {
      ops[i] = in.Byte();
      for (std::uint8_t& a : args[i]) a = in.Byte();
    }
    memory::Pause(0);  // the replies arrive after the request
    ScriptReplies(in);
    for (int i = 0; i < calls; ++i) {
      Input call_args{args[i], sizeof args[i]};
      HandleCall(lens, ops[i], call_args);
    }
    Check(kelvaro_close(lens) == 0);
    Check(kelvaro_close(lens) == KELVARO_INVALID_ARGUMENT);
  } else {
    // A frame built from the input, sent a byte at a time with the input's pauses.
    std::uint8_t frame[kelvaro::kMaxReplyBytes];
    const std::size_t data_count = in.Byte() % 8;
    frame[0] = static_cast<std::uint8_t>(data_count);
    frame[1] = 0x31;
    for (std::size_t i = 0; i < data_count; ++i) frame[2 + i] = in.Byte();
    frame[2 + data_count] = kelvaro::FrameChecksum(frame, 2 + data_count);
    FramingsAgree(frame, data_count + 3, in);
  }
  return 0;
}
