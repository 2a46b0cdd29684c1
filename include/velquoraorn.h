/*
 * VelquoraORN: host-side driver library for the Velquora PIN pad / card terminal.
 *
 * Every function returns a signed result code: 0 success, the negative ORN_ERR_* codes below,
 * positive values command-specific (normally the terminal's status digit). Any thread may call
 * any function; the library serialises commands to the terminal itself.
 */
#ifndef VELQUORAORN_H
#define VELQUORAORN_H

#include <stdint.h>

#if defined(_WIN32)
#define ORN_API __declspec(dllexport)
#elif defined(__GNUC__)
#define ORN_API __attribute__((visibility("default")))
#else
#define ORN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. ornGetErrorString returns the name of each. */
#define ORN_ERR_NO_ERROR 0
#define ORN_ERR_COMM_PORT_NOT_OPEN (-1)
#define ORN_ERR_NO_ACK_ERROR (-2)
#define ORN_ERR_NO_RESPONSE_ERROR (-3) /* name only: a missing response gives -19 */
#define ORN_ERR_NOT_DEFINED (-4)
#define ORN_ERR_CANCELED_BY_USER_ERROR (-5)
#define ORN_ERR_DEVICE_ERROR (-6)
#define ORN_ERR_UNKNOWN_ERROR (-7)
#define ORN_ERR_GOT_NAK_ERROR (-8)
#define ORN_ERR_CANCELED_BY_POWERUP_ERROR (-9)
#define ORN_ERR_WRONG_RESPONSE_ERROR (-10)
#define ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR (-11)
#define ORN_ERR_DEVICE_IS_BUSY_ERROR (-12)
#define ORN_ERR_DEVICE_USB_DISCONNECTED (-13)
#define ORN_ERR_EMV_APPLICATION_NOT_FOUND (-14)
#define ORN_ERR_EMV_SESSION_TABLE_FULL (-15)
#define ORN_ERR_EMV_NOT_IN_SESSION_TABLE (-16)
#define ORN_ERR_COMMAND_NOT_EXIST (-17)
#define ORN_ERR_INVALID_PARAMETER_IN_API_CALL (-18)
#define ORN_ERR_API_TIMEOUT (-19)
#define ORN_ERR_API_QUEUE_BLOCKED (-20)
#define ORN_ERR_COM_PORT_NOT_EXIST (-21)
#define ORN_ERR_COM_PORT_BUSY (-22)
#define ORN_ERR_OTHER_COM_ALREADY_OPEN (-23)
#define ORN_ERR_COM_PORT_NAME_TOO_LONG (-24)

/* Log levels for ornInit and ornChangeLoggingState. Bit 31 of ornInit's level switches the
 * link monitoring (idle link check, Disconnected state) off. */
#define ORN_LOGGER_OFF 0
#define ORN_LOGGER_SEVERE 1
#define ORN_LOGGER_INFO 2
#define ORN_LOGGER_FINE 3
#define ORN_LOGGER_ON 4
#define ORN_LINK_MONITOR_OFF ((int32_t)0x80000000)

/* ---- Session, version and error text ---------------------------------------------------- */

/* Opens the link on portName ("COMn", "USBHID" or "AUTO"; at most 6 characters), opens the log
 * logFile (null: no log; "stdout"/"stderr"; absolute path; else beside the executable) at
 * logLevel, and waits until the terminal is ready. 0 ready; 1 the port opened but no terminal
 * answered (closed again); -18 null name, -21 no such port, -22 port busy, -23 already open,
 * -24 name too long, -1 other open failure. */
ORN_API int ornInit(const char* portName, const char* logFile, int32_t logLevel);
/* As ornInit, but the level is passed to the log unchanged, link monitoring is left as it was,
 * and terminal enquiries on a COM port are acknowledged at once. */
ORN_API int ornInitLegacy(const char* portName, const char* logFile, int32_t logLevel);
/* Minimal open of a serial port without log or readiness wait; same result codes as ornInit
 * (never 1). */
ORN_API int ornOpen(const char* portName);
/* Closes the link, ends every pending command, stops the engine and finishes the log.
 * Harmless when nothing is open. */
ORN_API void ornClose(void);
/* Reopens the same serial port after it vanished and came back, keeping queued commands.
 * 0 reopened; 1 nothing open or the reopen failed (the link is then closed).
 * Also exported as ?ornReOpenPort@@YAHXZ. */
ORN_API int ornReOpenPort(void);
/* Port name the link was opened with, or null when no link is open or it was opened by
 * ornOpen. */
ORN_API const char* ornGetComPort(void);
/* Library version text, "1.23". */
ORN_API const char* ornGetVersion(void);
/* Library version as (major << 16) | minor: 0x00010017. */
ORN_API uint32_t ornGetVersionDWORD(void);
/* Name of a result code, or a formatted text for other codes (valid until 16 more formatted
 * texts have been produced). Never null. */
ORN_API const char* ornGetErrorString(int code);
/* 0 when the link is open and the terminal connected; -1 not open; -11 not connected.
 * Sends nothing. */
ORN_API int ornPing(void);
/* Connection state: 0 OK, 1 disconnected, 2 pending, 3 power-up detected, -1 not open,
 * -7 unknown. */
ORN_API int ornCheckConnectionStatus(void);

/* ---- Engine ------------------------------------------------------------------------------ */

/* 1 when commands for device (0 display, 1 card reader, 2 smart card, 3 EMV, 4 contactless,
 * 5..8 SAM 0..3, 9 reboot, 10 other) would be refused as busy, else 0; -1/-11 link, -18 device. */
ORN_API int ornIsBusy(int device);

/* ---- Serial port ------------------------------------------------------------------------- */

/* Raises DTR on portName ("COM1".."COM255"; null: the open port) and reports DSR: 1 on, 0 off;
 * -1 not open / status unreadable, -18 bad name, -21 no such port, -22 port busy,
 * -24 name too long. */
ORN_API int ornSetDTR_CheckDSR(const char* portName);

/* ---- Log --------------------------------------------------------------------------------- */

/* Sets the log level (ORN_LOGGER_*); always 0. */
ORN_API int ornChangeLoggingState(int32_t level);
/* Sets the log encryption key while no log is open: null or "" off, 16 hex digits DES,
 * 32 hex digits two-key triple DES. 0 done; 1 refused (a log is open); -18 bad key. */
ORN_API int ornSetLogKey(const char* key);
/* Sets the log size limit in bytes (1,000,000 .. 1,000,000,000) while no log is open.
 * 1 accepted, 0 refused. */
ORN_API int ornSetLogFileSizeLimit(int32_t limit);

/* ---- Basic commands ---------------------------------------------------------------------- *
 * Terminal commands return the terminal's status digit (0 success, positive values the
 * terminal's own status), -1 with no link open, -11 while the terminal is not connected, -18 for
 * a bad argument (nothing is sent), or another negative ORN_ERR_* code. An answer without a
 * status character gives ORN_ERR_WRONG_RESPONSE_ERROR (-10). */

/* Sounds beep pattern beepCode (0..15). */
ORN_API int ornBeep(int beepCode);
/* Cancels the terminal's current operation; pending display, keypad and card-reader requests end
 * with ORN_ERR_CANCELED_BY_USER_ERROR (-5), even when the cancel's own exchange fails. */
ORN_API int ornCancel(void);
/* Restarts the terminal. */
ORN_API int ornReboot(void);
/* Returns the terminal to its idle screen number value (0..1295, sent as two base-36 digits). */
ORN_API int ornReturnToIdle(int value);
/* As ornReturnToIdle with the two base-36 characters given as they are ("0".."9", "A".."Z",
 * "a".."z"). */
ORN_API int ornReturnToIdleBase36(const char* code);
/* Sends message id ("30".."EZ": first "3".."9"/"A".."E", second "0".."9"/"A".."Z") with data and
 * copies the whole answer text (status character included) into response (responseSize bytes with
 * the terminator). Returns the answer's length, -99 when it does not fit (response left empty),
 * or a negative ORN_ERR_* code. */
ORN_API int ornGenericAsciiCommand(const char* id, const char* data, char* response,
                                   int responseSize);
/* Stores prompt (at most 32 display characters, Windows-1252 accents allowed) with the 8-character
 * tail under index 0..63. */
ORN_API int ornPromptRegister(int index, const char* prompt, const char* tail);

/* ---- Device management ------------------------------------------------------------------- */

/* ---- Display and keypad ------------------------------------------------------------------ */

/* ---- Keypad text entry ------------------------------------------------------------------- */

/* ---- Scroll list ------------------------------------------------------------------------- */

/* ---- Data storage ------------------------------------------------------------------------ */

/* ---- Key management and encryption ------------------------------------------------------- */

/* ---- MAC calculation and verification ---------------------------------------------------- */

/* ---- PIN entry and debit sequence -------------------------------------------------------- */

/* ---- EMV channel ------------------------------------------------------------------------- */

/* ---- Magnetic stripe reader -------------------------------------------------------------- */

/* ---- Smart card -------------------------------------------------------------------------- */

/* ---- Instrumentation --------------------------------------------------------------------- */

/* Always 0. */
ORN_API int PurifyIsRunning(void);

#ifdef __cplusplus
}
#endif

#endif /* VELQUORAORN_H */
