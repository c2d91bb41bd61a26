// The handle interface of kelvaro.h through the DLL: two lenses served from two threads at
// once, both ways of ending a read, the check on a library thread, handles and arguments
// that are refused, out values written only on success, numbers that print as the flat
// texts do, and what keeps the DLL loaded.
#include <cstdio>
#include <cstring>

#include "wine_host.h"

namespace kelvaro_wine {
namespace {

const Bytes kHostModeZero{0x01, 0x44, 0xF8, 0xC3};

// Waits, without pumping messages, until kelvaro_is_connected gives `connected`.
bool WaitConnected(const Dll& dll, kelvaro_lens* lens, int connected, int timeout_ms) {
  const DWORD until = GetTickCount() + static_cast<DWORD>(timeout_ms);
  while (dll.kelvaro_is_connected(lens) != connected) {
    if (static_cast<LONG>(until - GetTickCount()) <= 0) return false;
    Sleep(20);
  }
  return true;
}

bool SameOptics(const kelvaro_optics& a, const kelvaro_optics& b) {
  return a.focal_min_mm == b.focal_min_mm && a.focal_max_mm == b.focal_max_mm && a.mod_m == b.mod_m &&
         a.f_number == b.f_number;
}

std::string Printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

class LensApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(dll.Load()); }
  void TearDown() override {
    // Those a test closed itself give 101 here, which is harmless.
    if (dll.module != nullptr) {
      for (kelvaro_lens* handle : opened_) dll.kelvaro_close(handle);
    }
  }

  kelvaro_lens* Open(const char* port, int framing = KELVARO_FRAMING_FRAME, int watch = 0) {
    const kelvaro_options options{framing, watch, 0};
    kelvaro_lens* handle = nullptr;
    EXPECT_EQ(dll.kelvaro_open(port, &options, &handle), KELVARO_OK) << port;
    if (handle != nullptr) opened_.push_back(handle);
    return handle;
  }

  Dll dll;
  Lens lens;
  Lens second{kSecondControlPort};

 private:
  std::vector<kelvaro_lens*> opened_;
};

// Runs job->Run() on a thread of its own. Jobs live on the heap and carry their own copy of
// the DLL's pointers, so one left behind by a hung thread never writes into a finished test.
template <typename Job>
DWORD WINAPI RunJob(void* job) {
  static_cast<Job*>(job)->Run();
  return 0;
}

// One thread's rounds on its own lens: what it must find, the requests it made, what differed.
struct Worker {
  Dll dll;
  kelvaro_lens* lens;
  std::string name;
  unsigned short zoom;
  kelvaro_optics optics;
  unsigned short focus;      // its focus moves start here
  std::uint8_t switch_byte;  // and its switch 3 settings here
  HANDLE start;              // both threads begin together

  std::vector<Bytes> sent{};
  int mismatches = 0;
  std::string first_mismatch{};
  long long elapsed_ms = 0;

  void Check(bool good, const std::string& what) {
    if (!good && mismatches++ == 0) first_mismatch = what;
  }

  void Run() {
    WaitForSingleObject(start, INFINITE);
    const auto started = static_cast<long long>(GetTickCount64());
    for (int round = 0; round < 5; ++round) {
      const std::string at = " in round " + std::to_string(round);
      char text[64] = "";
      Check(dll.kelvaro_name(lens, text, sizeof text) == KELVARO_OK && name == text,
            "name \"" + std::string(text) + "\"" + at);
      sent.push_back(Frame(0x11, {}));
      if (name.size() >= 15) sent.push_back(Frame(0x12, {}));

      unsigned short position = 0;
      Check(dll.kelvaro_position(lens, KELVARO_ZOOM, &position) == KELVARO_OK && position == zoom,
            "zoom " + std::to_string(position) + at);
      sent.push_back(Frame(0x31, {}));

      kelvaro_optics read{};
      Check(dll.kelvaro_read_optics(lens, &read) == KELVARO_OK && SameOptics(read, optics), "optics" + at);
      for (std::uint8_t function : {0x15, 0x14, 0x16, 0x13}) sent.push_back(Frame(function, {}));

      const auto target = static_cast<unsigned short>((focus + 37 * round) & 0xFFF);
      Check(dll.kelvaro_move(lens, KELVARO_FOCUS, target) == KELVARO_OK, "move" + at);
      const auto wire = static_cast<std::uint16_t>(target << 4);
      sent.push_back(Frame(0x22, {static_cast<std::uint8_t>(wire >> 8), static_cast<std::uint8_t>(wire)}));
      Check(dll.kelvaro_position(lens, KELVARO_FOCUS, &position) == KELVARO_OK && position == target,
            "focus " + std::to_string(position) + at);
      sent.push_back(Frame(0x32, {}));

      const auto byte = static_cast<std::uint8_t>(switch_byte + round);
      std::uint8_t value = 0;
      Check(dll.kelvaro_set_switch(lens, 3, byte) == KELVARO_OK, "set switch" + at);
      sent.push_back(Frame(0x43, {byte}));
      Check(dll.kelvaro_switch(lens, 3, &value) == KELVARO_OK && value == byte,
            "switch " + std::to_string(value) + at);
      sent.push_back(Frame(0x53, {}));
    }
    elapsed_ms = static_cast<long long>(GetTickCount64()) - started;
  }
};

// One zoom read.
struct ZoomRead {
  Dll dll;
  kelvaro_lens* lens;
  unsigned short zoom = 0;
  int code = -1;

  void Run() { code = dll.kelvaro_position(lens, KELVARO_ZOOM, &zoom); }
};

TEST_F(LensApi, TwoLensesServedFromTwoThreadsAtOnceEachAnswerForThemselves) {
  lens.Do("state name Lens five");
  lens.Do("state zoom 1111");
  second.Do("state name The second lens, with a longer name");  // two parts: 0x11 and 0x12
  second.Do("state zoom 2222");
  kelvaro_lens* first_lens = Open(kLensPort);
  kelvaro_lens* second_lens = Open(kSecondLensPort);
  ASSERT_NE(first_lens, nullptr);
  ASSERT_NE(second_lens, nullptr);

  // Each lens's own optics, read one after the other first; wine.sh gave them different ones.
  kelvaro_optics first_optics{};
  kelvaro_optics second_optics{};
  ASSERT_EQ(dll.kelvaro_read_optics(first_lens, &first_optics), KELVARO_OK);
  ASSERT_EQ(dll.kelvaro_read_optics(second_lens, &second_optics), KELVARO_OK);
  EXPECT_NEAR(first_optics.focal_min_mm, 10.0, 1e-3);
  EXPECT_NEAR(first_optics.focal_max_mm, 200.0, 1e-3);
  EXPECT_NEAR(first_optics.mod_m, 0.9, 1e-6);
  EXPECT_NEAR(first_optics.f_number, 2.0, 1e-3);
  EXPECT_NEAR(second_optics.focal_min_mm, 12.5, 1e-3);
  EXPECT_NEAR(second_optics.focal_max_mm, 75.0, 1e-3);
  EXPECT_NEAR(second_optics.mod_m, 1.2, 1e-6);
  EXPECT_NEAR(second_optics.f_number, 1.4, 1e-3);
  lens.ClearFrames();
  second.ClearFrames();

  const HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(start, nullptr);
  Worker* workers[] = {
      new Worker{dll, first_lens, "Lens five", 1111, first_optics, 100, 0x10, start},
      new Worker{dll, second_lens, "The second lens, with a longer name", 2222, second_optics, 3000, 0x80,
                 start},
  };
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = CreateThread(nullptr, 0, RunJob<Worker>, workers[i], 0, nullptr);
    ASSERT_NE(threads[i], nullptr);
  }
  SetEvent(start);
  ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0) << "the threads hang";
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(start);

  Lens* controls[] = {&lens, &second};
  for (int i = 0; i < 2; ++i) {
    const Worker& worker = *workers[i];
    SCOPED_TRACE(worker.name);
    EXPECT_EQ(worker.mismatches, 0) << "first: " << worker.first_mismatch;
    // Every request reached its own lens, in order, and nothing of the other thread's.
    EXPECT_EQ(controls[i]->Frames(), worker.sent);
    // Reads end at the whole frame: reads ended by the 100 ms gap would need twice this.
    EXPECT_LT(worker.elapsed_ms, 50LL * static_cast<long long>(worker.sent.size()))
        << worker.sent.size() << " exchanges";
    delete workers[i];
  }

  // One lens's late reply holds up no call on the other.
  second.FaultOnce(0x31, "delay 350");
  second.ClearFrames();
  auto* slow = new ZoomRead{dll, second_lens};
  const HANDLE slow_thread = CreateThread(nullptr, 0, RunJob<ZoomRead>, slow, 0, nullptr);
  ASSERT_NE(slow_thread, nullptr);
  ASSERT_TRUE(second.WaitFrames(1, 2000));  // its request is out, its reply 350 ms away
  unsigned short zoom = 0;
  EXPECT_EQ(dll.kelvaro_position(first_lens, KELVARO_ZOOM, &zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 1111);
  EXPECT_EQ(WaitForSingleObject(slow_thread, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the calls took turns";
  ASSERT_EQ(WaitForSingleObject(slow_thread, 5000), WAIT_OBJECT_0);
  CloseHandle(slow_thread);
  EXPECT_EQ(slow->code, KELVARO_OK);
  EXPECT_EQ(slow->zoom, 2222);
  delete slow;
}

// A host polling a frame-ended lens every 50 ms through four faults, the lens answering 10 ms
// after each request throughout, as one behind a USB adapter does. Every call ends within its
// time-outs, and within 1.5 s of each fault every poll is prompt again: bounds that mark a
// hang, not speed goals. The last fault leaves the port's time-outs of a short last piece
// (a few ms); every read must set its own.
TEST_F(LensApi, PollingRecoversWithinASecondAndAHalfOfEveryFault) {
  lens.Do("line delay 10");
  lens.Do("state zoom 1234");
  kelvaro_lens* handle = Open(kLensPort);
  ASSERT_NE(handle, nullptr);
  struct Fault {
    const char* what;
    std::vector<std::string> before, after;  // control commands around the first poll
  } const faults[] = {
      {"a time-out", {"fault 31 silent 1"}, {}},
      {"a split reply that outlasts the gap", {"fault 31 split 2 150 1"}, {}},
      {"a reply 650 ms late", {"fault 31 delay 650 1"}, {}},
      {"a reply cut short at the end of a late read", {"line delay 495", "fault 31 short 2 1"}, {"line delay 10"}},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    for (const std::string& command : fault.before) lens.Do(command);
    const DWORD start = GetTickCount();
    DWORD last_slow = start;
    for (int poll = 0; static_cast<LONG>(GetTickCount() - start) < 2500; ++poll) {
      const DWORD began = GetTickCount();
      unsigned short zoom = 0;
      int code = -1;
      const long long took = MillisecondsOf([&] { code = dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom); });
      // A read waits 500 ms at most, and a request is repeated once at most.
      ASSERT_LT(took, 1300) << "poll " << poll;
      if (code != KELVARO_OK || took >= 30) last_slow = began;
      if (code == KELVARO_OK) {
        EXPECT_EQ(zoom, 1234) << "poll " << poll;
      }
      if (poll == 0) {
        for (const std::string& command : fault.after) lens.Do(command);
      }
      Sleep(50);
    }
    EXPECT_LT(static_cast<LONG>(last_slow - start), 1500) << "a poll begun 1.5 s after the fault was slow";
  }
}

TEST_F(LensApi, BothFramingsReadWholeRepliesAndDropWhatCameLate) {
  lens.Do("state zoom 1234");
  lens.Do("state focus 321");
  for (const int framing : {KELVARO_FRAMING_FRAME, KELVARO_FRAMING_TIMED}) {
    SCOPED_TRACE(framing == KELVARO_FRAMING_FRAME ? "frame-ended" : "timed");
    kelvaro_lens* handle = Open(kLensPort, framing);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(dll.kelvaro_connect(handle), KELVARO_OK);
    unsigned short zoom = 0;
    int code = -1;
    const long long elapsed =
        MillisecondsOf([&] { code = dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom); });
    EXPECT_EQ(code, KELVARO_OK);
    EXPECT_EQ(zoom, 1234);
    if (framing == KELVARO_FRAMING_TIMED) {
      EXPECT_GE(elapsed, 90);  // it waited for more after the whole frame
    }

    lens.FaultOnce(0x31, "split 2 40");  // a pause inside the reply: still one reply
    zoom = 0;
    EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    EXPECT_EQ(zoom, 1234);

    // The late zoom reply is in the line when the focus is asked, and is dropped first.
    lens.FaultOnce(0x31, "delay 700");
    EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT);
    Sleep(300);
    unsigned short focus = 0;
    EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_FOCUS, &focus), KELVARO_OK);
    EXPECT_EQ(focus, 321);

    char name[64] = "";
    EXPECT_EQ(dll.kelvaro_name(handle, name, sizeof name), KELVARO_OK);
    EXPECT_STREQ(name, "Simulated Zoom Lens 10-200");
    EXPECT_EQ(dll.kelvaro_close(handle), KELVARO_OK);
  }
}

TEST_F(LensApi, AWatchedLensIsCheckedOnALibraryThreadAndPutInHostModeZero) {
  lens.Do("state switch 4 fc");
  kelvaro_lens* watched = Open(kLensPort, KELVARO_FRAMING_FRAME, 1);
  kelvaro_lens* unwatched = Open(kSecondLensPort);
  ASSERT_NE(watched, nullptr);
  ASSERT_NE(unwatched, nullptr);
  EXPECT_EQ(dll.kelvaro_is_connected(watched), 0);  // the first check is a second away

  // No message is pumped here.
  EXPECT_TRUE(WaitConnected(dll, watched, 1, 2500));
  ASSERT_TRUE(lens.WaitFrames(2, 2000));
  const std::vector<Bytes> frames = lens.Frames();
  EXPECT_EQ(std::vector<Bytes>(frames.begin(), frames.begin() + 2),
            (std::vector<Bytes>{kHandshake, kHostModeZero}));
  EXPECT_NE(lens.Do("state").find("switch4 f8"), std::string::npos);
  // Neither the unwatched lens nor the flat functions' flag took part.
  EXPECT_EQ(dll.kelvaro_is_connected(unwatched), 0);
  EXPECT_TRUE(second.Frames().empty());
  EXPECT_EQ(dll.IsAutoConnected(), 0);

  // The host's own calls go on beside the check, and the check notices a lens gone silent.
  unsigned short zoom = 0;
  EXPECT_EQ(dll.kelvaro_position(watched, KELVARO_ZOOM, &zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
  lens.Do("line silent 1");
  EXPECT_TRUE(WaitConnected(dll, watched, 0, 3000));
  EXPECT_EQ(dll.kelvaro_close(watched), KELVARO_OK);
  EXPECT_EQ(dll.kelvaro_is_connected(watched), 0);
}

TEST_F(LensApi, BadHandlesAndArgumentsGiveInvalidArgumentAndSendNothing) {
  const int closed = LensPortOpeners();
  kelvaro_lens* stale = Open(kLensPort);
  ASSERT_NE(stale, nullptr);
  EXPECT_GT(LensPortOpeners(), closed);
  EXPECT_EQ(dll.kelvaro_close(stale), KELVARO_OK);
  EXPECT_EQ(LensPortOpeners(), closed);
  EXPECT_EQ(dll.kelvaro_close(stale), KELVARO_INVALID_ARGUMENT);
  kelvaro_lens* handle = Open(kLensPort);  // likely in the freed record: the stale handle must not reach it
  ASSERT_NE(handle, nullptr);
  ASSERT_NE(handle, stale);

  int local = 0;
  kelvaro_lens* const bad_handles[] = {
      nullptr, stale, reinterpret_cast<kelvaro_lens*>(1), reinterpret_cast<kelvaro_lens*>(0xFF),
      reinterpret_cast<kelvaro_lens*>(~std::uintptr_t{0}), reinterpret_cast<kelvaro_lens*>(&local)};
  for (kelvaro_lens* bad : bad_handles) {
    SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(bad));
    unsigned short position = 0xBEEF;
    unsigned char byte = 0x5A;
    char name[16] = "untouched";
    kelvaro_optics optics{-1, -1, -1, -1};
    EXPECT_EQ(dll.kelvaro_connect(bad), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_is_connected(bad), 0);
    EXPECT_EQ(dll.kelvaro_move(bad, KELVARO_ZOOM, 100), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_position(bad, KELVARO_ZOOM, &position), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_set_switch(bad, 4, 0xF8), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_switch(bad, 4, &byte), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_name(bad, name, sizeof name), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_read_optics(bad, &optics), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(dll.kelvaro_close(bad), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(position, 0xBEEF);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(optics.mod_m, -1);
  }

  // On the open lens: axes and switches outside the lists, NULL out pointers, no room.
  char name[16] = "untouched";
  for (const int axis : {-1, 3, 0x100}) {
    unsigned short position = 0xBEEF;
    EXPECT_EQ(dll.kelvaro_move(handle, axis, 100), KELVARO_INVALID_ARGUMENT) << axis;
    EXPECT_EQ(dll.kelvaro_position(handle, axis, &position), KELVARO_INVALID_ARGUMENT) << axis;
    EXPECT_EQ(position, 0xBEEF);
  }
  for (const int number : {-1, 1, 5, 0x102}) {
    unsigned char byte = 0x5A;
    EXPECT_EQ(dll.kelvaro_set_switch(handle, number, 0), KELVARO_INVALID_ARGUMENT) << number;
    EXPECT_EQ(dll.kelvaro_switch(handle, number, &byte), KELVARO_INVALID_ARGUMENT) << number;
    EXPECT_EQ(byte, 0x5A);
  }
  EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_IRIS, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(dll.kelvaro_switch(handle, 0, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(dll.kelvaro_name(handle, nullptr, 16), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(dll.kelvaro_name(handle, name, 0), KELVARO_INVALID_ARGUMENT);
  EXPECT_STREQ(name, "untouched");
  EXPECT_EQ(dll.kelvaro_read_optics(handle, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_TRUE(lens.Frames().empty());

  // Opens that fail leave *lens NULL.
  const kelvaro_options bad_options[] = {{2, 0, 0}, {-1, 0, 0}, {KELVARO_FRAMING_FRAME, 0, 1}};
  for (const kelvaro_options& options : bad_options) {
    kelvaro_lens* out = stale;
    EXPECT_EQ(dll.kelvaro_open(kSecondLensPort, &options, &out), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(out, nullptr);
  }
  const std::pair<const char*, int> names[] = {
      {nullptr, KELVARO_INVALID_ARGUMENT},        {"", KELVARO_INVALID_ARGUMENT},
      {"tcp://lens", KELVARO_INVALID_ARGUMENT},   {"COM9", KELVARO_UNABLE_TO_OPEN_PORT},
      {"\\\\.\\COM77", KELVARO_UNABLE_TO_OPEN_PORT}, {"C:\\windows", KELVARO_UNABLE_TO_OPEN_PORT},
  };
  for (const auto& [name, code] : names) {
    kelvaro_lens* out = stale;
    EXPECT_EQ(dll.kelvaro_open(name, nullptr, &out), code) << (name != nullptr ? name : "NULL");
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(dll.kelvaro_open(kSecondLensPort, nullptr, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_TRUE(second.Frames().empty());
  // The open lens still works after all that.
  unsigned short zoom = 0;
  EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
}

TEST_F(LensApi, AFileThatIsNoPortGivesFiveAndIsNotKept) {
  const std::string path = ScratchFile("not-a-port");
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  // Whether anything still has the file open: the library opens it unshared.
  const auto held = [&path] {
    const HANDLE again =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (again == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(again);
    return false;
  };
  // The flat open keeps such a file, which shows that an unshared open would notice it.
  ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  ASSERT_EQ(dll.OpenComPort(path.c_str()), KELVARO_COMMS_ERROR);
  EXPECT_TRUE(held());
  ASSERT_EQ(dll.CloseComPort(), KELVARO_OK);
  ASSERT_FALSE(held());

  // More failed opens than the pool has lenses: none keeps the file or a lens.
  for (int i = 0; i <= KELVARO_MAX_LENSES; ++i) {
    kelvaro_lens* out = reinterpret_cast<kelvaro_lens*>(1);
    ASSERT_EQ(dll.kelvaro_open(path.c_str(), nullptr, &out), KELVARO_COMMS_ERROR) << i;
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(held()) << i;
  }
  EXPECT_EQ(FileText(path), "");  // nothing was sent into it
  EXPECT_NE(Open(kLensPort), nullptr);
}

TEST_F(LensApi, OutValuesAreWrittenOnlyOnSuccess) {
  kelvaro_lens* handle = Open(kLensPort);
  ASSERT_NE(handle, nullptr);
  // On success first, before a failure makes the next second's requests liable to be sent
  // twice: the name cut to fit with its NUL, the last of two switch data bytes.
  char name[40];
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(dll.kelvaro_name(handle, name, 8), KELVARO_OK);
  EXPECT_STREQ(name, "Simulat");
  EXPECT_EQ(name[8], '#');
  unsigned char byte = 0x5A;
  lens.AnswerOnce(0x53, Frame(0x53, {0x12, 0x34}));
  EXPECT_EQ(dll.kelvaro_switch(handle, 3, &byte), KELVARO_OK);
  EXPECT_EQ(byte, 0x34);

  lens.Do("line silent 1");
  unsigned short position = 0xBEEF;
  EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_TIMEOUT);
  EXPECT_EQ(position, 0xBEEF);
  EXPECT_EQ(dll.kelvaro_connect(handle), KELVARO_TIMEOUT);
  lens.Do("line silent 0");

  // Failures in the last exchange of a several-exchange call: no part is written.
  std::memset(name, '#', sizeof name);
  lens.FaultOnce(0x12, "wrong 13");
  EXPECT_EQ(dll.kelvaro_name(handle, name, sizeof name), KELVARO_WRONG_REPLY_CODE);
  EXPECT_EQ(std::string(name, sizeof name), std::string(sizeof name, '#'));
  kelvaro_optics optics{-1, -1, -1, -1};
  lens.FaultOnce(0x13, "badsum");
  EXPECT_EQ(dll.kelvaro_read_optics(handle, &optics), KELVARO_BAD_CHECKSUM);
  EXPECT_EQ(optics.focal_min_mm, -1);
  EXPECT_EQ(optics.focal_max_mm, -1);
  EXPECT_EQ(optics.mod_m, -1);
  byte = 0x5A;
  lens.FaultOnce(0x54, "short 2");
  EXPECT_EQ(dll.kelvaro_switch(handle, 4, &byte), KELVARO_REPLY_TOO_SHORT);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_OK);
  EXPECT_EQ(position, 2048);
}

// The flat functions take the port for themselves, so each lens is read one way, closed, then
// read the other way. COM5 is given numbers whose last digit depends on decoding as the flat
// texts do (in float): 40.65 mm prints 40.6, not 40.7, and 0.15 m prints 0.2.
TEST_F(LensApi, NumbersPrintAsTheFlatTextsDigitForDigit) {
  lens.Do("fault 15 raw " + Hex(Frame(0x15, {0xBF, 0xE1})));  // 4065E-5 m
  lens.Do("fault 16 raw " + Hex(Frame(0x16, {0xE0, 0x0F})));  // 15E-2 m
  lens.Do("fault 13 raw " + Hex(Frame(0x13, {0xE8, 0x00})));
  ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  for (const char* port : {kLensPort, kSecondLensPort}) {
    SCOPED_TRACE(port);
    kelvaro_lens* handle = Open(port);
    ASSERT_NE(handle, nullptr);
    kelvaro_optics optics{};
    char name[300] = "";
    ASSERT_EQ(dll.kelvaro_read_optics(handle, &optics), KELVARO_OK);
    ASSERT_EQ(dll.kelvaro_name(handle, name, sizeof name), KELVARO_OK);
    ASSERT_EQ(dll.kelvaro_close(handle), KELVARO_OK);

    ASSERT_EQ(dll.OpenComPort(port), KELVARO_OK);
    char focal[160] = "";
    char mod[160] = "";
    char aperture[160] = "";
    char flat_name[300] = "";
    EXPECT_EQ(dll.GetLensFocalLengthRange(focal), KELVARO_OK);
    EXPECT_EQ(dll.GetLensMOD(mod), KELVARO_OK);
    EXPECT_EQ(dll.GetLensOpenFNo(aperture), KELVARO_OK);
    EXPECT_EQ(dll.GetLensName(flat_name), KELVARO_OK);
    EXPECT_EQ(dll.CloseComPort(), KELVARO_OK);

    EXPECT_EQ(focal, "Focal Length  " + Printed("%.1f", optics.focal_min_mm) + " to  " +
                         Printed("%.1f", optics.focal_max_mm) + " mm");
    EXPECT_EQ(mod, "MOD:  " + Printed("%.1f", optics.mod_m) + " meters");
    EXPECT_EQ(aperture, "Aperture: f/" + Printed("%.2f", optics.f_number));
    EXPECT_STREQ(name, flat_name);
    if (port == kLensPort) {
      EXPECT_STREQ(focal, "Focal Length  40.6 to  200.0 mm");
      EXPECT_STREQ(mod, "MOD:  0.2 meters");
      EXPECT_STREQ(aperture, "Aperture: f/1.68");
    }
  }
}

// By design a watched lens's check thread holds a reference to the DLL, so a host that
// unloads the DLL with it open cannot pull the code from under the thread.
TEST(LensApiUnload, AWatchedLensKeepsTheDllLoadedUntilItIsClosed) {
  Lens lens;
  const int closed = LensPortOpeners();
  const int second_closed = PortOpeners(SecondLensDevice());
  Dll dll;
  ASSERT_NO_FATAL_FAILURE(dll.Load());
  const HMODULE module = dll.module;
  const kelvaro_options watch{KELVARO_FRAMING_FRAME, 1, 0};
  kelvaro_lens* watched = nullptr;
  kelvaro_lens* unwatched = nullptr;
  ASSERT_EQ(dll.kelvaro_open(kLensPort, &watch, &watched), KELVARO_OK);
  ASSERT_EQ(dll.kelvaro_open(kSecondLensPort, nullptr, &unwatched), KELVARO_OK);
  ASSERT_TRUE(WaitConnected(dll, watched, 1, 2500));

  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA("Kelvaro32.dll"), module);
  lens.ClearFrames();
  EXPECT_TRUE(lens.WaitFrames(1, 2500)) << "the check stopped";
  EXPECT_GT(PortOpeners(SecondLensDevice()), second_closed);

  // Loaded again it is the same DLL, both lenses still open; closing the watched one lets
  // the next FreeLibrary unload it, which closes the lens left open.
  ASSERT_EQ(LoadLibraryA("Kelvaro32.dll"), module);
  unsigned short zoom = 0;
  EXPECT_EQ(dll.kelvaro_position(unwatched, KELVARO_ZOOM, &zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(dll.kelvaro_close(watched), KELVARO_OK);
  ASSERT_NO_FATAL_FAILURE(dll.Unload());
  EXPECT_EQ(LensPortOpeners(), closed);
  EXPECT_EQ(PortOpeners(SecondLensDevice()), second_closed);
  lens.ClearFrames();
  Sleep(1200);
  EXPECT_TRUE(lens.Frames().empty()) << "a check outlived its lens";
}

// A host streams all three axes at 60 Hz from a lens on a 38400-baud line while it moves zoom
// and focus together over 3 s: every sample arrives, in order, and both axes end together on
// their targets, never stepping back.
TEST_F(LensApi, AStreamGoesOnWhileZoomAndFocusMoveTogether) {
  lens.Do("line baud 38400");
  lens.Do("state zoom 0");
  lens.Do("state focus 4000");
  kelvaro_lens* handle = Open(kLensPort);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(dll.kelvaro_stream_start(handle, 7, 60), KELVARO_OK);
  const int targets[3] = {-1, 3000, 1000};
  ASSERT_EQ(dll.kelvaro_move_together(handle, targets, 3000, KELVARO_EASE_IN_OUT), KELVARO_OK);
  std::vector<kelvaro_sample> samples;
  const DWORD until = GetTickCount() + 8000;
  while (dll.kelvaro_moving(handle) == 1 && static_cast<LONG>(until - GetTickCount()) > 0) {
    kelvaro_sample sample{};
    if (dll.kelvaro_stream_wait(handle, &sample, 500) == KELVARO_OK) samples.push_back(sample);
  }
  ASSERT_EQ(dll.kelvaro_moving(handle), 0) << "the move never ended";
  for (int i = 0; i < 6; ++i) {  // a tenth of a second more: the lens gets there
    kelvaro_sample sample{};
    ASSERT_EQ(dll.kelvaro_stream_wait(handle, &sample, 500), KELVARO_OK);
    samples.push_back(sample);
  }
  ASSERT_GT(samples.size(), 60u);
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_EQ(samples[i].sequence, samples[i - 1].sequence + 1) << i;
    EXPECT_GT(samples[i].time, samples[i - 1].time) << i;
    EXPECT_GE(samples[i].position[KELVARO_ZOOM], samples[i - 1].position[KELVARO_ZOOM]) << i;
    EXPECT_LE(samples[i].position[KELVARO_FOCUS], samples[i - 1].position[KELVARO_FOCUS]) << i;
  }
  EXPECT_EQ(samples.back().fresh, 7u);
  EXPECT_EQ(samples.back().position[KELVARO_ZOOM], 3000);
  EXPECT_EQ(samples.back().position[KELVARO_FOCUS], 1000);
  kelvaro_lens_stats stats{};
  ASSERT_EQ(dll.kelvaro_stats(handle, &stats), KELVARO_OK);
  EXPECT_GE(stats.by_code[KELVARO_OK], 3 * samples.size());
  EXPECT_LE(samples.back().time, dll.kelvaro_clock());
  lens.Do("line baud 0");
}

// A host that unloads the DLL and never closes its watched lens: the lens goes on being
// checked, and the process still ends cleanly (the program's exit status) with it open.
TEST(LensApiUnload, AWatchedLensNeverClosedIsCheckedUntilTheProcessEnds) {
  Lens lens;
  Dll dll;
  ASSERT_NO_FATAL_FAILURE(dll.Load());
  const kelvaro_options watch{KELVARO_FRAMING_FRAME, 1, 0};
  kelvaro_lens* watched = nullptr;
  ASSERT_EQ(dll.kelvaro_open(kLensPort, &watch, &watched), KELVARO_OK);
  ASSERT_TRUE(WaitConnected(dll, watched, 1, 2500));
  ASSERT_TRUE(FreeLibrary(dll.module));
  EXPECT_NE(GetModuleHandleA("Kelvaro32.dll"), nullptr);
  lens.ClearFrames();
  EXPECT_TRUE(lens.WaitFrames(2, 3500));
  EXPECT_EQ(lens.Frames(), (std::vector<Bytes>{kZoomQuery, kZoomQuery}));
}

}  // namespace
}  // namespace kelvaro_wine
