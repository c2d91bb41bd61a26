/**
 * @file Kelvaro32.h
 * Kelvaro32: drive a motorised zoom lens through its serial control port.
 *
 * One lens link per process. Call InitializeLensControl once, then OpenComPort; from then on
 * a once-a-second check connects to the lens by itself (see IsAutoConnected), or call Connect.
 * Every lens operation is synchronous: it writes one request frame (two for a few operations),
 * waits at most about half a second for each reply, and returns a result code.
 *
 * Result codes are the library's whole error vocabulary; GetResultString turns one into text.
 * Out values and texts are often written even when the code reports a failure: a Get whose
 * reply failed reports the value of the last reply that passed its checksum (possibly the
 * zoom position from the background check). Look at the code before trusting a value.
 *
 * Positions are 12-bit (0 to 4095). Texts are single-byte, NUL-terminated, in buffers the
 * caller owns; each function says how much room it needs. A NULL out value or text is never
 * written; the call otherwise behaves as described.
 *
 * Threads: on Windows the background check runs in the message loop of the thread that
 * called InitializeLensControl, so that thread must pump messages for it to work. On Linux
 * it runs on a timer thread of the library; every call and every check take one library-wide
 * lock, served in arrival order, so calls from several threads are safe and a check never
 * interleaves with a call. A child process made with fork() has no checks of its own. When
 * the library is unloaded its checks stop and an open port is closed.
 */
#ifndef KELVARO32_H
#define KELVARO32_H

/**
 * @def KELVARO_EXPORT
 * Marks what the library exports (and, on Windows, what its users import).
 * @def KELVARO_CALL
 * The calling convention of every exported function: __stdcall on Windows.
 */
#if defined(_WIN32)
#  if defined(KELVARO32_BUILD)
#    define KELVARO_EXPORT __declspec(dllexport)
#  else
#    define KELVARO_EXPORT __declspec(dllimport)
#  endif
#  define KELVARO_CALL __stdcall
#else
#  define KELVARO_EXPORT __attribute__((visibility("default")))
#  define KELVARO_CALL
#endif

/** Declares an exported function returning `type`, with the library's calling convention.
 * @param type the function's result type */
#define KELVARO_API(type) KELVARO_EXPORT type KELVARO_CALL

#ifdef __cplusplus
extern "C" {
#endif

/** Result codes. */
enum {
  KELVARO_OK = 0,                   /**< success */
  KELVARO_GENERAL_FAILURE = 1,      /**< the port refused the write */
  KELVARO_NOT_INITIALIZED = 3,      /**< OpenComPort or Connect before InitializeLensControl */
  KELVARO_TIMEOUT = 4,              /**< no reply byte arrived */
  KELVARO_COMMS_ERROR = 5,          /**< the port refused its time-outs or line settings */
  KELVARO_WRONG_REPLY_CODE = 6,     /**< the reply answered another function */
  KELVARO_UNABLE_TO_OPEN_PORT = 7,  /**< the device is absent, held by another program, or denied */
  KELVARO_PORT_ALREADY_OPEN = 8,    /**< has a text; never returned */
  KELVARO_PORT_NOT_OPEN = 10,       /**< no port is open */
  KELVARO_BAD_CHECKSUM = 12,        /**< the reply's bytes do not sum to 0 */
  KELVARO_REPLY_TOO_SHORT = 13,     /**< only 1 or 2 reply bytes arrived */
  KELVARO_COULD_NOT_CONNECT = 14    /**< has a text; never returned */
};

/* ---- Lifecycle ---------------------------------------------------------------------- */

/** Marks the library initialised and starts one more once-a-second lens check (each call
 * adds one; none is ever stopped while the library is loaded). If the check's timer cannot
 * be created, prints "timer failed\n" to standard output and carries on without it.
 * @return 0. */
KELVARO_API(int) InitializeLensControl(void);

/** Whether the lens answered the last background check. Not cleared by a failing host
 * call or by CloseComPort until the next check fails.
 * @return 1 when the lens answered the last background check, else 0. */
KELVARO_API(int) IsAutoConnected(void);

/* ---- Port --------------------------------------------------------------------------- */

/** Opens the lens's serial device ("COM3", "COM12" or "\\\\.\\COM12" on Windows,
 * "/dev/ttyUSB0" on Linux) for exclusive use at 38400 baud, 8 data bits, no parity, 1 stop
 * bit, no flow control, DTR and RTS raised. Any port already open is closed first, even the
 * same one. A lens behind a serial device server is reached by "tcp://HOST:PORT" or
 * "rfc2217://HOST:PORT" (see kelvaro.h).
 * @param portName the device or URL to open
 * @return 0; 3 before InitializeLensControl (nothing is touched); 7 when the port cannot be
 * opened, is held by another program, or portName is NULL or a malformed URL (no port is
 * open afterwards); 5 when the device refuses its time-outs or line settings, or the server
 * refuses COM port control (it then stays open and in use). */
KELVARO_API(int) OpenComPort(const char* portName);

/** Closes the open port.
 * @return 0, or 10 when no port is open. */
KELVARO_API(int) CloseComPort(void);

/* ---- Link --------------------------------------------------------------------------- */

/** Handshake: sends 00 01 FF and reads the reply.
 * @return 0 when the lens answers with function code 0x01; 3 before InitializeLensControl; 10 no port; 1 write refused;
 * 4 no reply; 13 reply of 1 or 2 bytes; 12 bad checksum; 6 another function code. */
KELVARO_API(int) Connect(void);

/** The same handshake as Connect without looking at initialisation (so 10, never 3, before
 * InitializeLensControl).
 * @return the handshake's code, as for Connect. */
KELVARO_API(int) Reset(void);

/* ---- Result texts ------------------------------------------------------------------- */

/** Appends the code's English text, which begins with a space (" OK", " Timeout",
 * " Error code = 9" for codes without a text of their own), to the NUL-terminated `text`,
 * which needs room for 27 more bytes. A NULL text is not written.
 * @param code the result code to name
 * @param text the text the code's text is appended to */
KELVARO_API(void) GetResultString(int code, char* text);

/* ---- Positions (iris, zoom, focus: 0 to 4095) --------------------------------------- */

/** @{ */
/** Move to an absolute position; only its low 12 bits count. Sends function 0x20 (iris),
 * 0x21 (zoom) or 0x22 (focus) with the position times 16, high byte first: SetLensZoom(2048)
 * sends 02 21 80 00 5D. The lens's motor arrival is not awaited.
 * @param position the position to move to
 * @return the exchange's code: 0, 10, 1, 4, 13, 12 or 6 as for Connect. */
KELVARO_API(int) SetLensIris(unsigned short position);
KELVARO_API(int) SetLensZoom(unsigned short position);
KELVARO_API(int) SetLensFocus(unsigned short position);
/** @} */

/** @{ */
/** Read a position back: sends 00 30 D0 (iris), 00 31 CF (zoom) or 00 32 CE (focus).
 * When the request could not be sent (10, 1) `position` is not written; otherwise it
 * receives the position of the last reply that passed its checksum, fresh only when the
 * code is 0.
 * @param position receives the position
 * @return the exchange's code as for the moves. */
KELVARO_API(int) GetLensIris(unsigned short* position);
KELVARO_API(int) GetLensZoom(unsigned short* position);
KELVARO_API(int) GetLensFocus(unsigned short* position);
/** @} */

/* ---- Switches 0, 2, 3, 4 ------------------------------------------------------------ */

/** @{ */
/** Write a raw switch byte: function 0x40, 0x42, 0x43 or 0x44 with the byte as its one data
 * byte (SetSwitch4Host(0xF8) sends 01 44 F8 C3).
 * @param value the switch byte
 * @return the exchange's code as for the moves. */
KELVARO_API(int) SetSwitch0Host(unsigned char value);
KELVARO_API(int) SetSwitch2Host(unsigned char value);
KELVARO_API(int) SetSwitch3Host(unsigned char value);
KELVARO_API(int) SetSwitch4Host(unsigned char value);
/** @} */

/** @{ */
/** Read a switch: sends function 0x50, 0x52, 0x53 or 0x54. `text` (room for 23 bytes)
 * receives "LensCode" (switch 0) or "???" (others); if the request could not be sent (10, 1)
 * that stays and `value` is not written.
 * Otherwise `value` receives part of the switch byte and `text` a label, then " [xx]" with
 * the first reply data byte in hexadecimal:
 * - switch 0: value = byte & 0x0F; 12..15 label "950nm ", "880nm ", "850nm ", "None  ",
 *   others keep "LensCode";
 * - switch 2: value = bit 4; "Remote Iris" (1) or "Auto Iris" (0);
 * - switch 3: value = byte & 0x0F; "Mag x1" when bit 0 is set, "Mag x2" when clear;
 * - switch 4: value = byte & 0x07; "Mode n" then " Local/Auto" (7) or " Host".
 *
 * After a failed reply the value and label come from the last good reply.
 * @param text receives the label
 * @param value receives the switch's value
 * @return the exchange's code as for the moves. */
KELVARO_API(int) GetSwitch0Host(char* text, unsigned short* value);
KELVARO_API(int) GetSwitch2Host(char* text, unsigned short* value);
KELVARO_API(int) GetSwitch3Host(char* text, unsigned short* value);
KELVARO_API(int) GetSwitch4Host(char* text, unsigned short* value);
/** @} */

/** 2x magnifier: switch 3 to 0xFE (on != 0) or 0xFF.
 * @param on non-zero puts the magnifier in
 * @return that exchange's code. */
KELVARO_API(int) Set2XMag(unsigned short on);

/** Reads switch 3 and writes 1 to `on` when the magnifier is in (bit 0 clear), else 0.
 * `on` is not written when the request could not be sent.
 * @param on receives 1 or 0
 * @return the read's code. */
KELVARO_API(int) Get2XMag(unsigned short* on);

/** on != 0: switch 2 to 0xCF (auto iris), then switch 4 to 0xFC (host mode 4).
 * on == 0: switch 4 to 0xF8 (host mode 0) only.
 * @param on non-zero for auto iris
 * @return the first non-zero code of the exchanges, else 0. */
KELVARO_API(int) SetAutoIris(unsigned short on);

/* ---- Identity and optics ------------------------------------------------------------ */

/** The lens's name into `name` (room for 147 bytes). Asks 0x11; returns at once when that
 * cannot be sent. Otherwise copies the name kept from the last 0x11 reply that carried one
 * (the empty text if none ever did), and when this exchange failed returns its code. When it
 * succeeded and the name has 15 or more characters, asks 0x12 for the rest, appends it when
 * that exchange succeeds (at most 146 characters in all) and returns that exchange's code.
 * @param name receives the name
 * @return the code of the last exchange made, as above. */
KELVARO_API(int) GetLensName(char* name);

/** "Focal Length  10.0 to  200.0 mm" into `text` (room for 55 bytes), from the 0x15 (first)
 * and 0x14 (second) replies. Returns at once, writing nothing, when either request cannot be
 * sent; otherwise writes the text (a failed reply shows the last good value).
 * @param text receives the text
 * @return the first failing exchange's code, or 0. */
KELVARO_API(int) GetLensFocalLengthRange(char* text);

/** "MOD:  0.9 meters" (minimum object distance, function 0x16) into `text` (room for 27
 * bytes). Returns at once, writing nothing, when the request cannot be sent; otherwise writes
 * the text (from the last good value after a failed reply).
 * @param text receives the text
 * @return the exchange's code. */
KELVARO_API(int) GetLensMOD(char* text);

/** "Aperture: f/2.00" (maximum aperture, function 0x13) into `text` (room for 19 bytes);
 * as GetLensMOD.
 * @param text receives the text
 * @return the exchange's code. */
KELVARO_API(int) GetLensOpenFNo(char* text);

#ifdef __cplusplus
} /* extern "C" */

/** Exported for hosts that expect it; it has no state and no behaviour. */
class KELVARO_EXPORT CLens {
 public:
  CLens();                               /**< does nothing */
  CLens& operator=(const CLens& other);  /**< does nothing; @param other ignored @return *this */
};
#endif

#endif /* KELVARO32_H */
