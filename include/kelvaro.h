/**
 * @file kelvaro.h
 * kelvaro.h: the handle interface of Kelvaro32, beside the flat functions of Kelvaro32.h in
 * the same library, with the same calling convention: __stdcall in the 32-bit DLL, the
 * platform's one C convention in the 64-bit DLL and on Linux.
 *
 * Many lenses at once, from any thread: kelvaro_open gives a handle per lens, and every call
 * on a handle works on that lens alone. Calls on different lenses run in parallel; calls on
 * one lens from several threads are served one at a time, in arrival order. No
 * initialisation call is needed, and nothing here touches the flat functions' port, state or
 * background check.
 *
 * Where this interface differs from the flat functions, on purpose:
 *  - an out value is written only when the call returns 0, never a stale value;
 *  - kelvaro_open opens and configures the device fully, or leaves nothing open;
 *  - replies are accounted for: a request whose read gave up still owes its reply for a
 *    second after that read ended (a lens may answer late, and answers in order). Before
 *    each request, what has arrived since pays those debts and everything else is dropped;
 *    a read takes one whole frame of its request's function, after any late replies owed,
 *    so a late reply is never taken for the next request. Only when the one frame that came
 *    has the function of an owed reply, and no second frame follows within 100 ms, can it
 *    not be told from that late reply: then the request is sent once more (every request
 *    here may be repeated: moves are to absolute positions, switch sets write a value, the
 *    rest are queries) and a reply to either is taken, the one still owed then counted from
 *    that moment. A reply taken writes off every older debt;
 *  - by default a read ends the moment a whole frame has arrived (KELVARO_FRAMING_FRAME)
 *    instead of 100 ms after the last byte (KELVARO_FRAMING_TIMED, the flat functions' rule);
 *  - numbers instead of texts, decoded exactly as the flat texts decode them.
 *
 * Result codes are those of Kelvaro32.h plus KELVARO_INVALID_ARGUMENT (a NULL, closed or
 * never-opened handle, a NULL out pointer, an axis or switch number outside the lists, a bad
 * option: nothing is sent) and KELVARO_NO_FREE_LENS. kelvaro_result_text names every code.
 *
 * Ports are named as for OpenComPort: a serial device ("COM3", "COM12", "/dev/ttyUSB0"), or
 * a lens behind a serial device server: "tcp://HOST:PORT" (a raw byte stream to a server
 * whose line is already set up) or "rfc2217://HOST:PORT" (Telnet with COM port control: the
 * library sets 38400 8N1, no flow control, DTR and RTS on). HOST is a name, an IPv4 address
 * or a bracketed IPv6 address ("rfc2217://[::1]:4000").
 *
 * No call allocates memory, except kelvaro_open (it starts the lens's worker thread, which
 * runs its check, its position stream and its motion) and the resolving of a host name. On
 * Windows the worker of a lens opened without `watch` starts with its first stream or
 * motion instead (kelvaro_stream_start, kelvaro_move_together, kelvaro_jog), since a running
 * worker keeps the DLL loaded (below). A child process made with fork() must not use the
 * parent's lenses. Close every lens before unloading the library: on Linux the unload closes
 * lenses left open; on Windows the unload closes those without a worker, but a lens left open
 * with one (watched, or one that has streamed or moved) keeps the DLL loaded and its worker
 * running until the process ends (the worker thread holds the DLL).
 * To close it then, load the library again (the same module, the lens still open) and call
 * kelvaro_close; calling into a library after freeing it is never safe.
 */
#ifndef KELVARO_H
#define KELVARO_H

#include <stddef.h>

#include "Kelvaro32.h"

#ifdef __cplusplus
extern "C" {
#endif

/** How many lenses can be open at once. */
#define KELVARO_MAX_LENSES 64

/** An open lens. Opaque: a handle is never dereferenced, and a closed one is recognised. */
typedef struct kelvaro_lens kelvaro_lens;

/** The three motors, for kelvaro_move and kelvaro_position. */
enum { KELVARO_IRIS = 0, KELVARO_ZOOM = 1, KELVARO_FOCUS = 2 };
/** @var KELVARO_IRIS
 * the iris motor
 * @var KELVARO_ZOOM
 * the zoom motor
 * @var KELVARO_FOCUS
 * the focus motor */

/** When a read of a reply ends. */
enum {
  KELVARO_FRAMING_FRAME = 0, /**< once the bytes so far are one whole frame (else as TIMED) */
  KELVARO_FRAMING_TIMED = 1  /**< 100 ms after the last byte, 500 ms after the start, 149 bytes */
};

/** Codes of the extension only; the flat functions never return them. */
enum { KELVARO_INVALID_ARGUMENT = 101, KELVARO_NO_FREE_LENS = 102 };
/** @var KELVARO_INVALID_ARGUMENT
 * a NULL, closed or never-opened handle, a NULL out pointer, an axis or switch number outside
 * the lists, a bad option: nothing is sent
 * @var KELVARO_NO_FREE_LENS
 * KELVARO_MAX_LENSES are open, or a lens's thread cannot be started */

/** Options of kelvaro_open; all zero is the default. */
typedef struct kelvaro_options {
  int framing; /**< KELVARO_FRAMING_FRAME (default, 0) or KELVARO_FRAMING_TIMED */
  int watch;   /**< non-zero: the once-a-second check runs for this lens (kelvaro_is_connected) */
  int reopen;  /**< non-zero (with watch): when the device goes away (a USB adapter unplugged,
                  a server that dropped the connection) the check closes it and opens the
                  same name again, once a check, until it is back; then connects as usual */
} kelvaro_options;

/** The lens's optics, as numbers. */
typedef struct kelvaro_optics {
  double focal_min_mm, focal_max_mm; /**< from 0x15 and 0x14, in millimetres */
  double mod_m;                      /**< minimum object distance, metres (0x16) */
  double f_number;                   /**< maximum aperture (0x13) */
} kelvaro_optics;
/** @var kelvaro_optics::focal_min_mm
 * the shortest focal length (with focal_max_mm: from 0x15 and 0x14, in millimetres) */

/** Opens the lens's port for exclusive use at 38400 baud, 8N1, no flow control, DTR and RTS
 * raised (on Linux asking a USB adapter's driver for low latency), and stores its handle in
 * *lens. `options` NULL means all defaults. Each lens gets a worker thread of its own (a lens
 * that waits out its time-outs delays no other's work; on Windows see above for when it
 * starts), which runs its stream and motion and, with `watch`, checks it once a second: the handshake until it answers, then host
 * mode 0, then a zoom query each second. On failure *lens is set to NULL.
 * @param port the lens's port name, as for OpenComPort
 * @param options the options, or NULL
 * @param lens receives the handle
 * @return 0; 101 for a NULL lens, a NULL, empty or malformed port name, an option out of
 * range, or reopen without watch or with a name over 260 characters; 102 when
 * KELVARO_MAX_LENSES are open or the lens's thread cannot be started; 7 when the port
 * cannot be opened (absent, in use, denied, connection refused or unknown host, within 2 s);
 * 5 when it refuses its settings (it is closed again). */
KELVARO_API(int) kelvaro_open(const char* port, const kelvaro_options* options, kelvaro_lens** lens);

/** Closes the lens: a call in flight on it (and its check) finishes first, calls made after
 * give 101. Closing twice is harmless.
 * @param lens the lens to close
 * @return 0, or 101 for a handle that is not open. */
KELVARO_API(int) kelvaro_close(kelvaro_lens* lens);

/** The handshake (00 01 FF).
 * @param lens the lens
 * @return 0 when the lens answers with function code 0x01; 101;
 * 1 write refused; 4 no reply; 13 reply of 1 or 2 bytes; 12 bad checksum; 6 another code. */
KELVARO_API(int) kelvaro_connect(kelvaro_lens* lens);

/** Whether the lens answered its last check. Never waits for an exchange.
 * @param lens the lens
 * @return 1 when the lens answered its last check, 0 before the first, after a failed one,
 * when the lens is not watched, or for a handle that is not open. */
KELVARO_API(int) kelvaro_is_connected(kelvaro_lens* lens);

/** Moves KELVARO_IRIS, KELVARO_ZOOM or KELVARO_FOCUS to `position` (0 to 4095; only its low
 * 12 bits count): function 0x20 + axis with the position times 16, high byte first. The
 * motor's arrival is not awaited.
 * @param lens the lens
 * @param axis KELVARO_IRIS, KELVARO_ZOOM or KELVARO_FOCUS
 * @param position the position to move to
 * @return the exchange's code as for kelvaro_connect; 101 for an unknown axis (nothing is
 * sent). */
KELVARO_API(int) kelvaro_move(kelvaro_lens* lens, int axis, unsigned short position);

/** Reads a position back (function 0x30 + axis) into *position, written only on 0.
 * @param lens the lens
 * @param axis KELVARO_IRIS, KELVARO_ZOOM or KELVARO_FOCUS
 * @param position receives the position
 * @return the exchange's code; 101 for an unknown axis or a NULL position. */
KELVARO_API(int) kelvaro_position(kelvaro_lens* lens, int axis, unsigned short* position);

/** Writes switch 0, 2, 3 or 4 (function 0x40 + number, the byte as its one data byte).
 * @param lens the lens
 * @param number the switch: 0, 2, 3 or 4
 * @param value the switch byte
 * @return the exchange's code; 101 for another switch number (nothing is sent). */
KELVARO_API(int) kelvaro_set_switch(kelvaro_lens* lens, int number, unsigned char value);

/** Reads switch 0, 2, 3 or 4 (function 0x50 + number) into *value: the raw switch byte, the
 * low byte of the reply's value (its data byte; of two, the second, which the flat getters'
 * masks act on), written only on 0.
 * @param lens the lens
 * @param number the switch: 0, 2, 3 or 4
 * @param value receives the switch byte
 * @return the exchange's code; 101 for another switch number or a NULL value. */
KELVARO_API(int) kelvaro_switch(kelvaro_lens* lens, int number, unsigned char* value);

/** Turns the 2x magnifier in (`on` non-zero: switch 3 byte 0xFE) or out (0xFF), as Set2XMag.
 * @param lens the lens
 * @param on non-zero for 2x, 0 for 1x
 * @return the exchange's code; 101. */
KELVARO_API(int) kelvaro_set_magnifier(kelvaro_lens* lens, int on);

/** Whether the 2x magnifier is in, as Get2XMag: switch 3 is read (0x53), and *on is 1 when
 * its bit 0 is clear, else 0. Written only on 0.
 * @param lens the lens
 * @param on receives 1 or 0
 * @return the exchange's code; 101 for a NULL on. */
KELVARO_API(int) kelvaro_magnifier(kelvaro_lens* lens, int* on);

/** Auto iris, as SetAutoIris: on (non-zero) writes switch 2 byte 0xCF, then switch 4 byte
 * 0xFC (host mode 4), both sent whatever the first gives; off writes switch 4 byte 0xF8
 * (host mode 0) alone.
 * @param lens the lens
 * @param on non-zero for auto iris
 * @return the first failing exchange's code, or 0; 101. */
KELVARO_API(int) kelvaro_set_auto_iris(kelvaro_lens* lens, int on);

/** The lens's whole name into `name`: the 0x11 reply's text, followed by the 0x12 reply's
 * when the first part has 15 or more characters. Cut to fit `size` bytes with its NUL (a
 * name has at most 292 characters). Written only on 0.
 * @param lens the lens
 * @param name receives the name
 * @param size the room in `name`, in bytes
 * @return the code of the first exchange that failed, or 0; 101 for a NULL name or a size
 * of 0. */
KELVARO_API(int) kelvaro_name(kelvaro_lens* lens, char* name, size_t size);

/** Asks 0x15, 0x14, 0x16 and 0x13 and fills *optics (written only on 0) with the numbers the
 * flat texts show: GetLensFocalLengthRange's "%.1f" of focal_min_mm and focal_max_mm, and so
 * on, agree digit for digit.
 * @param lens the lens
 * @param optics receives the optics
 * @return the first failing exchange's code, or 0; 101 for a NULL optics. */
KELVARO_API(int) kelvaro_read_optics(kelvaro_lens* lens, kelvaro_optics* optics);

/** The English text of any code, without the flat texts' leading space. The text is
 * static: never free or change it.
 * @param code the result code to name
 * @return "OK", "Timeout", "Invalid Argument", "No Free Lens", ...; "Unknown Result Code"
 * for a code the library never returns and has no text for. */
KELVARO_API(const char*) kelvaro_result_text(int code);

/** The label the flat getters give for a switch byte, such as "Mag x2 [fe]" or "Mode 0 Host
 * [f8]" (GetSwitch3Host and GetSwitch4Host on a reply carrying that byte), NUL-terminated.
 * Needs no lens and takes no lock. At most 22 characters.
 * @param number the switch: 0, 2, 3 or 4
 * @param value the switch byte
 * @param text receives the label
 * @param size the room in `text`, in bytes
 * @return 0; 101, writing nothing, for another switch number, a NULL text or a size too
 * small for the label and its NUL. */
KELVARO_API(int) kelvaro_switch_label(int number, unsigned char value, char* text, size_t size);

/* ---- Position streams ------------------------------------------------------------------ */

/** One round of a position stream. */
typedef struct kelvaro_sample {
  double time;                /**< kelvaro_clock() when the last byte of the round's last good reply arrived */
  unsigned int sequence;      /**< 1, 2, 3, ... within one stream; a jump means samples were overwritten */
  unsigned int fresh;         /**< bit (1 << axis) set for each axis read successfully in this round */
  unsigned short position[3]; /**< [KELVARO_IRIS], [KELVARO_ZOOM], [KELVARO_FOCUS] */
} kelvaro_sample;
/** @var kelvaro_sample::position
 * the last good value of each axis in this stream; 0 for an axis never read or outside the
 * stream's axes. A round in which no read succeeded has fresh 0 and time at the round's end. */

/** How many samples a lens's stream keeps unread; past that the oldest unread is overwritten. */
#define KELVARO_STREAM_DEPTH 256

/** Seconds on the clock of sample times: on Linux CLOCK_MONOTONIC (Python's
 * time.monotonic()), on Windows QueryPerformanceCounter.
 * @return the time now, in seconds */
KELVARO_API(double) kelvaro_clock(void);

/** Starts a position stream: the lens's worker reads the axes in `axes`, in the order iris,
 * zoom, focus, once a round, and keeps a sample of each round. Rounds start on the grid
 * t0 + n / rate_hz, t0 being this call; a late round skips to the next point of the grid.
 * Starting again replaces the stream: unread samples are gone and sequence starts at 1.
 * Host calls on the lens are served between the stream's exchanges. With `watch`, the
 * stream's replies are the check's sign of life. After a round in which every read failed at
 * once (no port), the next one waits at least 100 ms. Returns at once.
 * @param lens the lens
 * @param axes a non-zero mask of (1 << KELVARO_IRIS), (1 << KELVARO_ZOOM), (1 << KELVARO_FOCUS)
 * @param rate_hz rounds a second, above 0 and up to 1000; 0 for as fast as the line goes
 * @return 0; 101 for a bad handle, a mask of no axis or of other bits, or a rate that is
 * negative, NaN or over 1000; 102 when the lens's worker cannot be started (Windows). */
KELVARO_API(int) kelvaro_stream_start(kelvaro_lens* lens, unsigned axes, double rate_hz);

/** Stops the lens's stream; its unread samples are gone, and a kelvaro_stream_wait blocked
 * on it returns 101.
 * @param lens the lens
 * @return 0, also when no stream runs; 101 for a bad handle. */
KELVARO_API(int) kelvaro_stream_stop(kelvaro_lens* lens);

/** Copies up to `max` unread samples, oldest first, and marks them read. Never waits.
 * @param lens the lens
 * @param samples receives the samples (may be NULL when max is 0)
 * @param max the room in `samples`
 * @param count receives how many were copied
 * @return 0; 101 for a bad handle, a NULL count, a NULL samples with max above 0, or a lens
 * with no stream. */
KELVARO_API(int) kelvaro_stream_read(kelvaro_lens* lens, kelvaro_sample* samples, size_t max, size_t* count);

/** The oldest unread sample, marked read, waiting for one up to `timeout_ms` (0: a poll).
 * @param lens the lens
 * @param sample receives the sample
 * @param timeout_ms how long to wait, 0 or more
 * @return 0; 4 when none came in time; 101 for a bad handle, a NULL sample, a negative
 * timeout or a lens with no stream, and at once when the stream is stopped or started
 * again, or the lens closed, while this waits. */
KELVARO_API(int) kelvaro_stream_wait(kelvaro_lens* lens, kelvaro_sample* sample, int timeout_ms);

/** The newest sample, read or not, without marking anything read. Never waits.
 * @param lens the lens
 * @param sample receives the sample
 * @return 0; 4 before the stream's first sample; 101 for a bad handle, a NULL sample or a
 * lens with no stream. */
KELVARO_API(int) kelvaro_latest(kelvaro_lens* lens, kelvaro_sample* sample);

/* ---- Timed moves and speed control -------------------------------------------------------- */

/** Easing of a timed move: e(x) = x, or e(x) = 3x^2 - 2x^3. */
enum { KELVARO_EASE_LINEAR = 0, KELVARO_EASE_IN_OUT = 1 };
/** @var KELVARO_EASE_LINEAR
 * constant speed
 * @var KELVARO_EASE_IN_OUT
 * smooth start and stop */

/** Moves the given axes so that they arrive together after `duration_ms`. With a duration of
 * 0, ends the motion of the given axes and sends one move per given axis (iris, zoom,
 * focus), every one even after a failure. Otherwise reads each given axis's position (a
 * failed read returns its code and nothing moves, running motion untouched) and returns;
 * the lens's worker then sends, every 20 ms, each axis whose commanded position changed:
 * start + (target - start) * e(t / duration), rounded, t counted from the end of the reads;
 * at the duration every given axis is sent its target once more, in one round. A step that
 * fails does not end the motion. Replaces the motion of the axes it names only.
 * @param lens the lens
 * @param targets [KELVARO_IRIS], [KELVARO_ZOOM], [KELVARO_FOCUS]: 0 to 4095, or -1 to leave
 * that axis alone
 * @param duration_ms 0 to 600000
 * @param easing KELVARO_EASE_LINEAR or KELVARO_EASE_IN_OUT
 * @return 0; the first failing code (duration 0) or a start read's code; 101 for a bad
 * handle, a NULL targets, a target outside -1 to 4095, all -1, a duration over 600000 or
 * an unknown easing; 102 when the lens's worker cannot be started (Windows). */
KELVARO_API(int) kelvaro_move_together(kelvaro_lens* lens, const int targets[3], unsigned duration_ms, int easing);

/** Jogs an axis at `speed`, a fraction of the full travel a second (1: 4095 positions a
 * second), while the host keeps calling: the worker steps the commanded position every
 * 20 ms, clamped to 0 to 4095. The jog ends at speed 0, at an end of travel, or when
 * `deadman_ms` passes with no further kelvaro_jog on that axis; then no step is sent. An
 * axis not yet moving is read first (its code is returned if that fails); one that moves
 * (a timed move or jog) goes on from its commanded position. The deadman and speed 0 end
 * the commands only: the lens still goes to the last commanded position, and a jog faster
 * than the motor leads it; kelvaro_stop stops the lens where it is.
 * @param lens the lens
 * @param axis KELVARO_IRIS, KELVARO_ZOOM or KELVARO_FOCUS
 * @param speed -1 to 1; 0 ends the axis's motion (reading and sending nothing)
 * @param deadman_ms 50 to 60000
 * @return 0, the start read's code, or 101 for a bad handle, axis, speed (NaN or outside
 * -1 to 1) or deadman, and a call that gives 101 does not renew the jog; 102 when the
 * lens's worker cannot be started (Windows). */
KELVARO_API(int) kelvaro_jog(kelvaro_lens* lens, int axis, double speed, unsigned deadman_ms);

/** Ends every timed move and jog of the lens and leaves it where it is: each axis that was
 * moving is read and commanded to that position, once. No step goes out after this returns.
 * @param lens the lens
 * @return 0 or the first failing code of those exchanges (the motion has ended anyway);
 * 101 for a bad handle. */
KELVARO_API(int) kelvaro_stop(kelvaro_lens* lens);

/** Whether a timed move or jog is in progress. Never waits for an exchange.
 * @param lens the lens
 * @return 1 while any axis moves, else 0 (and 0 for a bad handle). */
KELVARO_API(int) kelvaro_moving(kelvaro_lens* lens);

/* ---- Counters ----------------------------------------------------------------------------- */

/** The lens's exchanges since it was opened: host calls, checks, stream reads and steps
 * (kelvaro_stats, a function, cannot share its name with a C type). */
typedef struct kelvaro_lens_stats {
  unsigned long long by_code[16];    /**< exchanges by result code 0..15 */
  unsigned long long time_bucket[8]; /**< exchange times up to 0.5, 1, 2.5, 5, 10, 50, 100 ms, and longer */
  double time_sum;                   /**< seconds, all exchanges */
} kelvaro_lens_stats;

/** Copies the lens's counters. Never waits for an exchange.
 * @param lens the lens
 * @param stats receives the counters
 * @return 0; 101 for a bad handle or a NULL stats. */
KELVARO_API(int) kelvaro_stats(kelvaro_lens* lens, kelvaro_lens_stats* stats);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELVARO_H */
