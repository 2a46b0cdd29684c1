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

/* On Windows the library's exports come from its .def file, so applications see dllimport
 * declarations and the library itself nothing. Every function and callback uses the C calling
 * convention, stated explicitly so that applications built with another default (/Gz, /Gr)
 * still call correctly. */
#if defined(_WIN32)
#if defined(ORN_BUILDING_LIBRARY)
#define ORN_API
#else
#define ORN_API __declspec(dllimport)
#endif
#define ORN_CALL __cdecl
#elif defined(__GNUC__)
#define ORN_API __attribute__((visibility("default")))
#define ORN_CALL
#else
#define ORN_API
#define ORN_CALL
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
#define ORN_ERR_UNKNOWN_ERROR (-7) /* also an internal failure (out of memory) in the call */
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

/* ---- Callback types ---------------------------------------------------------------------- *
 * The outcome of a ...Req command reaches its callback exactly once, on a library thread, with
 * no library lock held (the callback may call the library, ornClose included). status is 0 on
 * success, the terminal's positive status, or a negative ORN_ERR_* code (-5 cancelled, -9
 * terminal power-up, -19 no answer in time, -1 the link was closed); the other arguments keep
 * their defaults unless status is 0. Buffers are the library's, valid only during the call;
 * text is terminated. ornClose (and unloading the library) returns only after every callback of
 * the link has run, a request still waiting being called back with -1; no callback of that link
 * starts afterwards (one still running after 5 s is no longer waited for). */

/* Function key prompt: the key pressed (default '0'). */
typedef void (ORN_CALL *ornFkeyCallback)(int status, char key);
/* Keypad input: the entered length (-1 unknown) and text (at most 32 characters). */
typedef void (ORN_CALL *ornInputCallback)(int status, int length, char* text);
/* Decrypt and display: status only. */
typedef void (ORN_CALL *ornDecryptDisplayCallback)(int status);
/* DUKPT PIN entry: PIN block (16 characters) and key serial number (20 characters). */
typedef void (ORN_CALL *ornDukptCallback)(int status, char* pinBlock, char* ksn);
/* Master/session PIN entry: PIN block (16 characters). */
typedef void (ORN_CALL *ornPinCallback)(int status, char* pinBlock);
/* Debit sequence: three values, a code character, the PIN block, the second and first texts. */
typedef void (ORN_CALL *ornDebitCallback)(int status, uint32_t firstValue, uint32_t secondValue,
                                 uint32_t thirdValue, char code, char* pinBlock, char* secondText,
                                 char* firstText);
/* Scroll list: selected entry and its 16-bit data (-1 when the answer carries none). */
typedef void (ORN_CALL *ornScrollCallback)(int status, int selection, int data);
/* Card swipe: status is the status byte of the track asked for; per track its status byte,
 * length and data (track 1 at most 76 bytes, track 2 at most 37, zero-filled after the data). */
typedef void (ORN_CALL *ornMsrCallback)(int status, int track1Status, int track1Length, char* track1,
                               int track2Status, int track2Length, char* track2);
/* Card swipe with display: track 1 (at most 76 characters), track 2 (at most 36), and the
 * terminal's flag character (0 when absent). */
typedef void (ORN_CALL *ornMsrDisplayCallback)(int status, char* track1, char* track2, char flag);
/* Smart card: the terminal's status byte. */
typedef void (ORN_CALL *ornSmartCardCallback)(int status);
/* Smart card power-up: card type byte and the answer-to-reset (length bytes, at most 512). */
typedef void (ORN_CALL *ornSmartCardAtrCallback)(int status, char type, unsigned char* data, int length);
/* Terminal power-up detected. */
typedef void (ORN_CALL *ornPowerUpCallback)(void);
/* Connection state changed: 0 OK, 1 disconnected, 2 pending, 3 power-up detected, -1 port
 * closed (the values of ornCheckConnectionStatus). Called from one library thread per open
 * link, in the order of the changes, so the last value seen is the current state; the close's
 * -1 is delivered before ornClose returns. A callback still running when ornClose stops waiting
 * for it (after 5 s) is the closed link's last: its later changes, -1 included, are dropped. */
typedef void (ORN_CALL *ornConnectionStateCallback)(int state);

/* ---- Session, version and error text ---------------------------------------------------- *
 * A USB terminal that is pulled out ends the link at once: on USB HID as soon as the read side
 * sees the device gone (whether or not link monitoring is on), on the maker's USB serial port at
 * the next write that fails while the port is no longer listed; a write that the device does not
 * take within 5 s ends the link likewise. Pending commands then end with -13, later ones get -1,
 * the connection state callback reports -1 (closed), and ornInit opens the link again. */

/* Opens the link on portName ("COMn", "USBHID" or "AUTO"; at most 6 characters), opens the log
 * logFile (null: no log; "stdout"/"stderr"; absolute path; else beside the executable) at
 * logLevel, and waits until the terminal is ready. 0 ready; 1 the port opened but no terminal
 * answered (closed again); -18 null name, -21 no such port, -22 port busy, -23 already open,
 * -24 name too long, -1 other open failure (for "USBHID" also: no terminal found).
 * "USBHID" opens the first terminal ornFindUsbHidDevice lists. "AUTO" tries, in order, the
 * maker's USB COM ports, the USB HID terminals and then every other COM port, keeping the first
 * whose terminal answers (0) or giving 1 with the library closed when none does. Each candidate
 * gets the same chance: a silent one is closed without stopping the engine or the log, so the
 * next is tried exactly as the first. After "AUTO" over USB HID, ornGetComPort gives
 * "Velquora " and the product id. */
ORN_API int ORN_CALL ornInit(const char* portName, const char* logFile, int32_t logLevel);
/* As ornInit, but the level is passed to the log unchanged, link monitoring is left as it was,
 * and terminal enquiries on a COM port are acknowledged at once. */
ORN_API int ORN_CALL ornInitLegacy(const char* portName, const char* logFile, int32_t logLevel);
/* Minimal open of a serial port without log or readiness wait; same result codes as ornInit
 * (never 1). */
ORN_API int ORN_CALL ornOpen(const char* portName);
/* Closes the link, ends every pending command, stops the engine and finishes the log.
 * Harmless when nothing is open. */
ORN_API void ORN_CALL ornClose(void);
/* Reopens the same port after it vanished and came back, keeping queued commands (a USB HID
 * terminal is found again by its product id, or as the first one for "USBHID").
 * 0 reopened; 1 nothing open or the reopen failed (the link is then closed).
 * Also exported as ?ornReOpenPort@@YAHXZ. */
ORN_API int ORN_CALL ornReOpenPort(void);
/* Port name the link was opened with, or null when no link is open or it was opened by
 * ornOpen. */
ORN_API const char* ORN_CALL ornGetComPort(void);
/* Library version text, "1.23". */
ORN_API const char* ORN_CALL ornGetVersion(void);
/* Library version as (major << 16) | minor: 0x00010017. */
ORN_API uint32_t ORN_CALL ornGetVersionDWORD(void);
/* Name of a result code, or a formatted text for other codes (valid until 16 more formatted
 * texts have been produced). Never null. */
ORN_API const char* ORN_CALL ornGetErrorString(int code);
/* 0 when the link is open and the terminal connected; -1 not open; -11 not connected.
 * Sends nothing. */
ORN_API int ORN_CALL ornPing(void);
/* Connection state: 0 OK, 1 disconnected, 2 pending, 3 power-up detected, -1 not open,
 * -7 unknown. */
ORN_API int ORN_CALL ornCheckConnectionStatus(void);

/* ---- Engine ------------------------------------------------------------------------------ */

/* 1 when commands for device (0 display, 1 card reader, 2 smart card, 3 EMV, 4 contactless,
 * 5..8 SAM 0..3, 9 reboot, 10 other) would be refused as busy, else 0; -1/-11 link, -18 device. */
ORN_API int ORN_CALL ornIsBusy(int device);
/* Registers the power-up callback (null removes it); it stays registered across opens. */
ORN_API void ORN_CALL ornSetPowerUpCallback(ornPowerUpCallback callback);
/* Registers the connection state callback (null removes it); it stays registered across opens. */
ORN_API void ORN_CALL ornSetConnectionStateCallback(ornConnectionStateCallback callback);
/* Sets how long keypad input may wait before the library cancels it (0 off, up to 7200 s).
 * 0 stored; -1 refused while an input is being timed; -18 out of range. */
ORN_API int ORN_CALL ornInputTimeoutAutoCancel(int seconds);

/* ---- Serial port ------------------------------------------------------------------------- */

/* Raises DTR on portName ("COM1".."COM255"; null: the open port) and reports DSR: 1 on, 0 off;
 * -1 not open / status unreadable, -18 bad name, -21 no such port, -22 port busy,
 * -24 name too long. */
ORN_API int ORN_CALL ornSetDTR_CheckDSR(const char* portName);

/* ---- Port discovery ---------------------------------------------------------------------- */
/* Every call lists the machine afresh and never opens a port (a port in use is still listed).
 * COM ports come in ascending COM number, at most 32. A port's kind is 0 not USB, 1 a USB port
 * of another vendor, 2 the terminal maker's USB port (vendor 0E7D). When the ports or devices
 * cannot be listed, the counts below are -1 and the reason is logged at Severe. */

/* One COM port as ornFindComPortsEx reports it: 24 bytes. */
typedef struct ornComPortInfo {
    char portName[8];  /* offset 0: "COM3", zero-terminated (cut to 7 characters) */
    int32_t kind;      /* offset 8: 0, 1 or 2 as above */
    char productId[8]; /* offset 12: USB product id, zero-terminated; written only for kind 2 */
    int32_t available; /* offset 20: always 1 (ports are never test-opened) */
} ornComPortInfo;

/* One terminal on USB HID as ornFindUsbHidDevice reports it: 266 bytes. */
typedef struct ornUsbHidDeviceInfo {
    char devicePath[261]; /* offset 0: path to open, zero-terminated */
    char productId[5];    /* offset 261: product id, "%04X", zero-terminated */
} ornUsbHidDeviceInfo;

/* Writes the port names into buffer (size bytes), separated by single spaces: a separator is
 * added while the text plus one character stays below size - 1, a name while the text plus the
 * name does; names that do not fit are left out. Returns the number of ports found (which may
 * exceed the names written); -1 null buffer, size below 1, or listing failure. */
ORN_API int ORN_CALL ornFindComPorts(char* buffer, int size);
/* Fills up to count records, one per port; returns the number of ports found (which may exceed
 * count); -1 null records, negative count, or listing failure. */
ORN_API int ORN_CALL ornFindComPortsEx(ornComPortInfo* records, int count);
/* *isUsb = 1 when portName (any case) is a USB port of any vendor, else 0. 0 done; -18 null
 * argument; -1 the ports could not be listed (*isUsb = 0). */
ORN_API int ORN_CALL ornIsUsbComPort(const char* portName, int32_t* isUsb);
/* As ornIsUsbComPort, counting only the maker's USB ports (kind 2). */
ORN_API int ORN_CALL ornIsVelquoraUsbComPort(const char* portName, int32_t* isVelquoraUsb);
/* Fills up to count records with the maker's USB HID terminals (the first one is what
 * "USBHID" opens); returns the number filled; -1 null records, negative count, or listing
 * failure. */
ORN_API int ORN_CALL ornFindUsbHidDevice(ornUsbHidDeviceInfo* records, int count);
/* Tells the terminal which of its interfaces to use: 0 "COM1,9600,7,E,1", 1
 * "COM1,9600,7,E,1,0", 2 "USB7420", 3 "USB". Terminal status; -1/-11 link; -18 interface. */
ORN_API int ORN_CALL ornSetPinpadCommunicationPort(int interfaceKind);

/* ---- Log --------------------------------------------------------------------------------- */

/* Sets the log level (ORN_LOGGER_*); always 0. */
ORN_API int ORN_CALL ornChangeLoggingState(int32_t level);
/* Sets the log encryption key while no log is open: null or "" off, 16 hex digits DES,
 * 32 hex digits two-key triple DES. 0 done; 1 refused (a log is open); -18 bad key. */
ORN_API int ORN_CALL ornSetLogKey(const char* key);
/* Sets the log size limit in bytes (1,000,000 .. 1,000,000,000) while no log is open.
 * 1 accepted, 0 refused. */
ORN_API int ORN_CALL ornSetLogFileSizeLimit(int32_t limit);
/* Link dumps in the log hide PIN blocks, key serial numbers, keys, check values, MAC and
 * encryption data, track data, APDU data, EMV application data and the middle digits of
 * account numbers ('*' in both columns). on = 1 shows them in clear (lab debugging only), 0
 * hides them again (the setting at load). Always 0. */
ORN_API int ORN_CALL ornSetLogSensitiveData(int on);

/* ---- Status values and call timing ------------------------------------------------------ *
 * A positive result (or callback status) is the terminal's own status for the command. The
 * library gives a meaning only to the values named here; any other value, including how the
 * terminal reports the cardholder's cancel key, a declined card or its own time limit running
 * out, is the terminal's and is passed through unchanged. The library's own outcomes are
 * negative: ORN_ERR_CANCELED_BY_USER_ERROR (-5) for a request ended by ornCancel, a reader
 * cancel or the keypad auto-cancel, ORN_ERR_API_TIMEOUT (-19) when no answer came within the
 * time limit below. */

/* Every text answer (all commands but the reader channel, EMV and binary MAC): success. */
#define ORN_STATUS_OK 0
/* Card reader channel (swipe, smart card): the status byte. ornIsCardPresent maps these two. */
#define ORN_READER_STATUS_OK 0
#define ORN_READER_STATUS_NO_CARD 1 /* a presence test: no card within the time limit */
/* Binary MAC form: the status byte of a chunk's answer. Both are taken as 0 by the library. */
#define ORN_MAC_STATUS_MORE_CHUNKS 0xFF /* chunk taken, more expected */
#define ORN_MAC_STATUS_NO_MATCH 0x99    /* verification: the MAC does not match (result 0) */
/* EMV channel: the status byte of an answer; ornEmvOpenSession gives 7 for a name already open. */
#define ORN_EMV_STATUS_OK 0
#define ORN_EMV_SESSION_ALREADY_OPEN 7
/* Display-driven swipe: the source character (sourceChar, the MSRDISPLAY callback's flag). */
#define ORN_SWIPE_SOURCE_STRIPE '0'     /* a swiped card: the tracks follow */
#define ORN_SWIPE_SOURCE_SMART_CARD '%' /* the combined command: a smart card was inserted */

/* When a call returns:
 *   at once, without the terminal: session, version, error text, engine settings, port
 *     discovery, log, ornAddListItem...; ornPing and ornCheckConnectionStatus read the link;
 *   after the terminal's acknowledgement: every ...Req form; the outcome reaches the callback
 *     later, exactly once;
 *   after the answer: every other terminal command, ...Wait forms included (ornEmvSendAsync
 *     after the terminal's EMV acknowledgement of the data).
 * The time limit of the answer, counted from the acknowledgement (0 = none, "+1 s" is the
 * library's margin on the time given to the terminal):
 *   default (any command not listed)          8 s
 *   ornDisplay, ornClearDisplay(Line)         10 ms + 1 s
 *   function key prompt, amount confirmation, keyboard check, keypad text entry
 *                                             input auto-cancel time + 1 s (0 = none)
 *   DUKPT and master/session PIN entry        timeout x 5 s (0 = none)
 *   ornDebitSequenceStartReq                  with firstStageSeconds, stageSeconds or
 *     pinTimeout 0: input auto-cancel time + 1 s (0 = none); otherwise pinTimeout x 5 s + 108 s
 *     + 2 x stageSeconds, + stageSeconds + 108 s for each extra stage set, + stageSeconds more
 *     when any is set, + firstStageSeconds when entryMode is not 0, + 1 s
 *   ornScrollList..., decrypt and display     displayTime x 5 s + 1 s (0 = none)
 *   MAC block forms                           600 s
 *   display-driven swipe                      timeoutSec + 1 s (0 = none)
 *   reader waits (swipe, card insertion, removal, power-up)
 *                                             timeoutMs + 1 s (0 = none)
 *   ornIsCardPresent                          10 ms + 1 s */

/* ---- Basic commands ---------------------------------------------------------------------- *
 * Terminal commands return the terminal's status digit (0 success, positive values the
 * terminal's own status), -1 with no link open, -11 while the terminal is not connected, -18 for
 * a bad argument (nothing is sent), or another negative ORN_ERR_* code. An answer without a
 * status character gives ORN_ERR_WRONG_RESPONSE_ERROR (-10). */

/* Sounds beep pattern beepCode (0..15). */
ORN_API int ORN_CALL ornBeep(int beepCode);
/* Cancels the terminal's current operation; pending display, keypad and card-reader requests end
 * with ORN_ERR_CANCELED_BY_USER_ERROR (-5), even when the cancel's own exchange fails or the
 * terminal is not connected (-11). */
ORN_API int ORN_CALL ornCancel(void);
/* Restarts the terminal. */
ORN_API int ORN_CALL ornReboot(void);
/* Returns the terminal to its idle screen number value (0..1295, sent as two base-36 digits). */
ORN_API int ORN_CALL ornReturnToIdle(int value);
/* As ornReturnToIdle with the two base-36 characters given as they are ("0".."9", "A".."Z",
 * "a".."z"). */
ORN_API int ORN_CALL ornReturnToIdleBase36(const char* code);
/* Sends message id ("30".."EZ": first "3".."9"/"A".."E", second "0".."9"/"A".."Z") with data and
 * copies the whole answer text (status character included) into response (responseSize bytes with
 * the terminator). Returns the answer's length, -99 when it does not fit (response left empty),
 * or a negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornGenericAsciiCommand(const char* id, const char* data, char* response,
                                   int responseSize);
/* Stores prompt (at most 32 display characters, Windows-1252 accents allowed) with the 8-character
 * tail under index 0..63. */
ORN_API int ORN_CALL ornPromptRegister(int index, const char* prompt, const char* tail);

/* ---- Device management ------------------------------------------------------------------- */

/* Reads the terminal's clock and writes it to text in form format: 0 nothing (empty text),
 * 1 "YYYY/MM/DD hh:mm:ss" (20 bytes), 2 "March 5, 2024   09:05:07" (30 bytes), 3 the year
 * (5 bytes), 4..8 month, day, hour, minute, second (3 bytes each). text is emptied first; -18 for
 * a null text (checked first) or a format outside 0..8 (after the terminal was asked). */
ORN_API int ORN_CALL ornGetDateTimeString(int format, char* text);
/* Reads the terminal's clock into the six numbers (all 0 unless the result is 0); -18 when any
 * pointer is null (checked first). */
ORN_API int ORN_CALL ornGetDateTime(int* year, int* month, int* day, int* hour, int* minute, int* second);
/* Sets the terminal's clock: year 0..10000, month 1..12, day 1..31, hour 0..23, minute and
 * second 0..59 (no calendar test). */
ORN_API int ORN_CALL ornSetDateTime(int year, int month, int day, int hour, int minute, int second);
/* Starts the terminal's application update; returns the terminal's status byte (0..255) or a
 * negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornApplicationUpdate(void);
/* Device information text "/dddd/ddd/ddd/ddddd/dd/dd/d" into info (28 bytes); info is left
 * untouched unless the result is 0. */
ORN_API int ORN_CALL ornDeviceInfo(char* info);
/* Detailed device information, same form and buffer as ornDeviceInfo. */
ORN_API int ORN_CALL ornDeviceInfoDetailed(char* info);
/* The five-character device type into info (6 bytes); info is emptied first. */
ORN_API int ORN_CALL ornDeviceInfoType(char* info);
/* The terminal's versions text into info (up to 4096 bytes); info is emptied first. */
ORN_API int ORN_CALL ornDeviceInfoAllVersions(char* info);
/* The sixteen-character serial number into serial (17 bytes); serial is emptied first. */
ORN_API int ORN_CALL ornGetSerialNumber(char* serial);

/* ---- Display and keypad ------------------------------------------------------------------ */

/* Shows lines on the 16-column, four-line display (null: line left as it is; longer lines are cut
 * at 16 columns; Windows-1252 accents allowed). 1 when every line is null (nothing sent); -18 when
 * no line is valid display text or a line holds a link control byte (SOH, STX, ETX, ENQ, ACK,
 * NAK, ETB). Lines that leave a gap (1, 2 and 4) go out as two messages. */
ORN_API int ORN_CALL ornDisplay(const char* line1, const char* line2, const char* line3, const char* line4);
/* As ornDisplay, then waits for a function key: *key receives it (a null key only shows the
 * lines). Waits without limit unless ornInputTimeoutAutoCancel set a time. */
ORN_API int ORN_CALL ornFunctionKeyPromptWait(const char* line1, const char* line2, const char* line3,
                                     const char* line4, char* key);
/* As ornFunctionKeyPromptWait; returns once the terminal accepted it and reports the key through
 * callback (-18 for a null callback). */
ORN_API int ORN_CALL ornFunctionKeyPromptReq(const char* line1, const char* line2, const char* line3,
                                    const char* line4, ornFkeyCallback callback);
/* Clears the whole display. */
ORN_API int ORN_CALL ornClearDisplay(void);
/* Clears display line 1..4. */
ORN_API int ORN_CALL ornClearDisplayLine(int line);
/* Asks the cardholder to confirm amount (at most 15 digits) under mode 1..4 with text (8
 * display columns; null: none); *key receives the key pressed (null: not wanted). */
ORN_API int ORN_CALL ornAmountConfirmationWait(int mode, unsigned long amount, const char* text, char* key);
/* As ornAmountConfirmationWait; the key reaches callback (-18 for a null callback). */
ORN_API int ORN_CALL ornAmountConfirmationReq(int mode, unsigned long amount, const char* text,
                                     ornFkeyCallback callback);
/* Runs the terminal's keyboard check. */
ORN_API int ORN_CALL ornKeyboardCheck(void);

/* ---- Keypad text entry ------------------------------------------------------------------- */

/* Shows prompt (32 display columns; accents allowed) or the stored prompt promptIndex (0..63, 255
 * none) and collects a keypad entry of entry mode 2, 3, 5 or 6, type 1..3, 5 or 6 and option
 * 0..15. *length carries the maximum length in (0..32; 0: no limit sent) and the entered length
 * out (-1 on failure); text (maximum + 1 bytes, 33 when the maximum is 0) receives the entry,
 * cut to fit. */
ORN_API int ORN_CALL ornDisplayAndWaitForInputWait(int mode, int type, int option, const char* prompt,
                                          int promptIndex, int* length, char* text);
/* As ornDisplayAndWaitForInputWait with maxLength given; the entry reaches callback. */
ORN_API int ORN_CALL ornDisplayAndWaitForInputReq(int mode, int type, int option, const char* prompt,
                                         int promptIndex, int maxLength, ornInputCallback callback);
/* As ornDisplayAndWaitForInputWait after clearing the entry field, with a stored prompt only. */
ORN_API int ORN_CALL ornClearTextEntryWithStoredPromptWait(int mode, int type, int option, int promptIndex,
                                                  int* length, char* text);
/* As ornClearTextEntryWithStoredPromptWait; the entry reaches callback. */
ORN_API int ORN_CALL ornClearTextEntryWithStoredPromptReq(int mode, int type, int option, int promptIndex,
                                                 int maxLength, ornInputCallback callback);

/* ---- Scroll list ------------------------------------------------------------------------- */

/* Appends item (display text) to the list text in list, a buffer of size bytes. An item that does
 * not fit is not added (the list is left unchanged); null arguments change nothing. */
ORN_API void ORN_CALL ornAddListItem(char* list, const char* item, unsigned size);
/* As ornAddListItem for an item carrying data (0..0xFFFF; other values add nothing). */
ORN_API void ORN_CALL ornAddListItemWithData(char* list, const char* item, int data, unsigned size);
/* Shows list under four title lines (16 columns each) and lets the cardholder pick an item;
 * reserved must be 0; option1 and option2 1..9, flag1 and flag2 0..1, displayTime 0..15 (times 5
 * s before the library gives up; 0 no limit), option3 1..20. -18 also when the list is too long
 * for one message. The choice reaches callback. */
ORN_API int ORN_CALL ornScrollListReq(int reserved, int option1, int option2, int flag1, int displayTime,
                             int flag2, int option3, const char* title1, const char* title2,
                             const char* title3, const char* title4, const char* list,
                             ornScrollCallback callback);
/* As ornScrollListReq, blocking: *selection receives the position chosen and *data the item's
 * data (-1 when it carries none; both -1 on failure). */
ORN_API int ORN_CALL ornScrollListWait(int reserved, int option1, int option2, int flag1, int displayTime,
                              int flag2, int option3, const char* title1, const char* title2,
                              const char* title3, const char* title4, const char* list,
                              int* selection, int* data);

/* ---- Data storage ------------------------------------------------------------------------ */

/* Reads the terminal's 8-character data block into block (9 bytes); block is emptied first. */
ORN_API int ORN_CALL ornReadBlock(char* block);
/* Writes the data block (exactly 8 characters). */
ORN_API int ORN_CALL ornWriteBlock(const char* block);
/* Reads a 300-character table record into record (301 bytes); record is emptied first. */
ORN_API int ORN_CALL ornReadDataTable(char* record);
/* Writes a table record (exactly 300 characters). */
ORN_API int ORN_CALL ornWriteDataTable(const char* record);
/* Deletes table record recordNumber (0..200, or 255). */
ORN_API int ORN_CALL ornDeleteDataTable(int recordNumber);
/* Resets the data table in mode 0, 1 or 2. */
ORN_API int ORN_CALL ornResetDataTable(int mode);
/* Asks how the table is filled: the terminal's two values (0..255; 0 when the exchange failed,
 * filled also for a non-zero status). */
ORN_API int ORN_CALL ornDataTableRecordsInquiry(int* value1, int* value2);
/* Asks the terminal's table value (0..255; 0 when the exchange failed, filled also for a non-zero
 * status). */
ORN_API int ORN_CALL ornDataTableInquiry(int* value);

/* ---- Key management and encryption ------------------------------------------------------- *
 * Keys, check values and data blocks are hexadecimal text (upper or lower case). A key index is
 * 0..63. A key has 16 or 32 characters; its check value has 8, and may be null or "" with a
 * 16-character key only. The terminal does the cryptography. */

/* Loads key (16/32 hex) of keyType 0..4 at keyIndex with its check value; extra is a
 * 16-hex-digit field (null: the default "7C41A9E3058BD26F"); flag 1 marks the final load. */
ORN_API int ORN_CALL ornLoadMasterSessionKey(int keyIndex, int keyType, const char* key,
                                    const char* checkValue, const char* extra, int flag);
/* Diagnostic value of a key: request 'T', 'M', 'K' or 'P', or 'm'/'s' for the key at keyIndex.
 * value (7 bytes) receives 6 characters on status 0, else "". */
ORN_API int ORN_CALL ornDiagnosticKeyRequest(char request, int keyIndex, char* value);
/* As ornDiagnosticKeyRequest for keyType 'T', 'M', 'K' or '0'..'5'. */
ORN_API int ORN_CALL ornDiagnosticKeyRequestKeyType(char keyType, char* value);
/* Encrypts the 16-hex-digit data block under key; result (17 bytes) receives the 16-digit
 * result block on status 0, else "". */
ORN_API int ORN_CALL ornDataEncryption(int keyIndex, const char* key, const char* checkValue,
                              const char* data, char* result);
/* As ornDataEncryption with the terminal's cipher selector 0 or 1. */
ORN_API int ORN_CALL ornDataEncryptionCipher(int cipher, int keyIndex, const char* key,
                                    const char* checkValue, const char* data, char* result);
/* Has the terminal decrypt the data block and show it with text (cut or filled to 8
 * characters) for displayTime 0..15 × 5 s; digit 0..9 and flag are the terminal's. 0 once
 * accepted; the status reaches callback (null: not reported). */
ORN_API int ORN_CALL ornDecryptAndDisplayReq(int flag, int digit, int displayTime, int keyIndex,
                                    const char* key, const char* checkValue, const char* data,
                                    const char* text, ornDecryptDisplayCallback callback);
/* Blocking form of ornDecryptAndDisplayReq; returns the status. */
ORN_API int ORN_CALL ornDecryptAndDisplayWait(int flag, int digit, int displayTime, int keyIndex,
                                     const char* key, const char* checkValue, const char* data,
                                     const char* text);
/* As ornDecryptAndDisplayReq, the result shown in ASCII. */
ORN_API int ORN_CALL ornDecryptAndDisplayInAsciiReq(int digit, int displayTime, int keyIndex,
                                           const char* key, const char* checkValue,
                                           const char* data, const char* text,
                                           ornDecryptDisplayCallback callback);
/* Blocking form of ornDecryptAndDisplayInAsciiReq; returns the status. */
ORN_API int ORN_CALL ornDecryptAndDisplayInAsciiWait(int digit, int displayTime, int keyIndex,
                                            const char* key, const char* checkValue,
                                            const char* data, const char* text);


/* ---- MAC calculation and verification ---------------------------------------------------- *
 * The terminal computes or checks a MAC over data under the working key sent along (key index
 * 0..63, key and check value as for the key commands). Calculation: mac (17 bytes) is emptied
 * first and receives the terminal's MAC text (8 hex digits as a rule, at most 16) on success.
 * Verification: *result is set to 0 first and to 1 when the terminal reports a match;
 * expectedMac has 8 characters. A failure leaves "" or 0. */

/* Block forms: data in blocks of 8 characters (ASCII) or 16 hex digits (Hex), at least one and
 * a whole number of them; the terminal may take up to 600 s. */
ORN_API int ORN_CALL ornMacCalculationAsciiMode(int keyIndex, const char* key, const char* checkValue,
                                       const char* data, char* mac);
ORN_API int ORN_CALL ornMacCalculationHexMode(int keyIndex, const char* key, const char* checkValue,
                                     const char* data, char* mac);
ORN_API int ORN_CALL ornMacVerificationAsciiMode(int keyIndex, const char* key, const char* checkValue,
                                        const char* expectedMac, const char* data,
                                        int32_t* result);
ORN_API int ORN_CALL ornMacVerificationHexMode(int keyIndex, const char* key, const char* checkValue,
                                      const char* expectedMac, const char* data,
                                      int32_t* result);
/* Variable form: 1..200 characters of data; keyMode 1 (16-digit key) or 2 (32-digit key). */
ORN_API int ORN_CALL ornMacCalculationAsciiVarMode(int keyIndex, int keyMode, const char* key,
                                          const char* checkValue, const char* data, char* mac);
ORN_API int ORN_CALL ornMacVerificationAsciiVarMode(int keyIndex, int keyMode, const char* key,
                                           const char* checkValue, const char* expectedMac,
                                           const char* data, int32_t* result);
/* Chunked text form: data of any length up to 51200 characters, sent in records of 200
 * ("" sends nothing and gives 0); keyMode as the variable form. */
ORN_API int ORN_CALL ornXmacCalculationAsciiVarMode(int keyIndex, int keyMode, const char* key,
                                           const char* checkValue, const char* data, char* mac);
ORN_API int ORN_CALL ornXmacVerificationAsciiVarMode(int keyIndex, int keyMode, const char* key,
                                            const char* checkValue, const char* expectedMac,
                                            const char* data, int32_t* result);
/* Binary form: dataLength bytes sent in records of 960 (0 sends nothing and gives 0). keyMode 1
 * (16-digit key) or 2 (32-digit key, check value required) with keyIndex 0..2; 3 or 4 the same
 * with keyIndex 0..63. The expected MAC is 8 hex digits; the MAC returned is 8 hex digits. A
 * terminal status other than success is returned as it is (a MAC that does not match is 0 with
 * *result 0). */
ORN_API int ORN_CALL ornBinaryMacCalculation(int keyIndex, int keyMode, const char* key,
                                    const char* checkValue, const unsigned char* data,
                                    int dataLength, char* mac);
ORN_API int ORN_CALL ornBinaryMacVerification(int keyIndex, int keyMode, const char* key,
                                     const char* checkValue, const char* expectedMac,
                                     const unsigned char* data, int dataLength,
                                     int32_t* result);


/* ---- PIN entry and debit sequence -------------------------------------------------------- *
 * The terminal collects the PIN and returns it enciphered as a 16-character PIN block (buffers of
 * 17 bytes), with a 20-character key serial number for DUKPT (21 bytes). selector 0..15,
 * option 0..4, account exactly 16 characters, timeout 0..255 in units of 5 s (0: no limit).
 * prompt: 4 characters shown before the digits, null for "PIN=". keyMode 0 (no key), 1 (key of
 * 16 characters) or 2 (32 characters and an 8-character check value). Display lines take 16
 * columns (Windows-1252 accents allowed). The ...Req forms return 0 once the terminal accepted
 * the request; the outcome reaches the callback. */

/* DUKPT PIN entry (prompt right-aligned in 4 characters). */
ORN_API int ORN_CALL ornDukptPinReq(int selector, int timeout, int option, const char* account,
                           const char* prompt, ornDukptCallback callback);
/* Blocking form: pinBlock and ksn are emptied, and filled on status 0. */
ORN_API int ORN_CALL ornDukptPinWait(int selector, int timeout, int option, const char* account,
                            const char* prompt, char* pinBlock, char* ksn);
/* Master/session PIN entry under sessionKey (16 or 32 characters) at keyIndex 0..63. */
ORN_API int ORN_CALL ornMasterSessionPinEntryReq(int selector, int timeout, int option, int keyIndex,
                                        const char* account, const char* sessionKey,
                                        const char* checkValue, const char* prompt,
                                        ornPinCallback callback);
/* Blocking form: pinBlock is emptied, and filled on status 0. */
ORN_API int ORN_CALL ornMasterSessionPinEntryWait(int selector, int timeout, int option, int keyIndex,
                                         const char* account, const char* sessionKey,
                                         const char* checkValue, const char* prompt,
                                         char* pinBlock);
/* Master/session PIN entry with display lines: line1 required, line2 and line3 optional (line3
 * is sent only with line2); option2 0..3, option3 0..4, keyIndex2 0..63 or 255. */
ORN_API int ORN_CALL ornMSPinWithDisplayReq(int selector, int option, int keyIndex, const char* account,
                                   int keyMode, const char* key, const char* checkValue,
                                   const char* prompt, int option2, int option3, int keyIndex2,
                                   const char* line1, const char* line2, const char* line3,
                                   int timeout, ornPinCallback callback);
ORN_API int ORN_CALL ornMSPinWithDisplayWait(int selector, int option, int keyIndex, const char* account,
                                    int keyMode, const char* key, const char* checkValue,
                                    const char* prompt, int option2, int option3, int keyIndex2,
                                    const char* line1, const char* line2, const char* line3,
                                    int timeout, char* pinBlock);
/* As ornMSPinWithDisplay..., with the PIN length limited to minPinLength..maxPinLength
 * (4 <= min <= max <= 12). */
ORN_API int ORN_CALL ornMSPinWithDisplayExReq(int selector, int option, int keyIndex, const char* account,
                                     int keyMode, const char* key, const char* checkValue,
                                     int minPinLength, int maxPinLength, const char* prompt,
                                     int option2, int option3, int keyIndex2, const char* line1,
                                     const char* line2, const char* line3, int timeout,
                                     ornPinCallback callback);
ORN_API int ORN_CALL ornMSPinWithDisplayExWait(int selector, int option, int keyIndex, const char* account,
                                      int keyMode, const char* key, const char* checkValue,
                                      int minPinLength, int maxPinLength, const char* prompt,
                                      int option2, int option3, int keyIndex2, const char* line1,
                                      const char* line2, const char* line3, int timeout,
                                      char* pinBlock);
/* Aborts the PIN entry in progress; pending display and keypad requests end with
 * ORN_ERR_CANCELED_BY_USER_ERROR (-5), also when the terminal is not connected (-11). Returns 0
 * once the terminal acknowledged. */
ORN_API int ORN_CALL ornPinEntryCancel(void);
/* Loads the screens of the debit sequence, in the terminal's field order: numbers (0..3, 0..2,
 * 0..63, or 0..63/255 for fields 24 and 26) and display lines (16 columns, not null); field31 is
 * a text of up to 15 characters. */
ORN_API int ORN_CALL ornDebitSequenceInit(
    int field1, const char* field2, const char* field3, int field4, const char* field5,
    const char* field6, int field7, int field8, const char* field9, int field10,
    const char* field11, int field12, int field13, const char* field14, int field15,
    const char* field16, int field17, const char* field18, const char* field19, int field20,
    const char* field21, const char* field22, int field23, int field24, const char* field25,
    int field26, const char* field27, int field28, const char* field29, const char* field30,
    const char* field31);
/* Starts the debit sequence for amount (0..999999999): flags 0..1, stage times 0..99 s, entry
 * mode 0..2 (0: account required), PIN timeout 0..15 × 5 s, prompt left-aligned in 4
 * characters. The values, account type code, PIN block and texts reach callback. */
ORN_API int ORN_CALL ornDebitSequenceStartReq(int firstFlag, int firstStageSeconds, int entryMode,
                                     int secondFlag, int stageSeconds, int pinTimeout,
                                     const char* prompt, int amount, int extraStage1,
                                     int extraStage2, int keyIndex, int keyMode, const char* key,
                                     const char* checkValue, const char* account,
                                     ornDebitCallback callback);


/* ---- EMV channel ------------------------------------------------------------------------- */

/* Incoming data of a terminal application for its session, on a library thread; data is valid
 * during the call only. Sub-type 4 also ends the session. */
typedef void (ORN_CALL *ornEmvSessionCallback)(int subType, const unsigned char* data, int length);

/* The EMV functions return -1 with no link open and -11 while the terminal is not connected. An
 * application is named by at least 4 characters (the terminal knows the first 12); a name stands
 * for an open session when that session's name is a prefix of it. */

/* Opens a session with terminal application appName; its data goes to callback. The terminal's
 * status (0 opened), 7 when a session of that name is open, -15 when 20 sessions are open, -18
 * for a bad argument, or a negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornEmvOpenSession(const char* appName, ornEmvSessionCallback callback);
/* Closes appName's session, which is forgotten whatever the terminal answers. The terminal's
 * status, -18, or a negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornEmvCloseSession(const char* appName);
/* Reads appName's version into version (6 bytes: "vv.rr", empty unless the status is 0). The
 * terminal's status, -18, or a negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornEmvGetAppVersion(const char* appName, char* version);
/* Registers the EMV component with application appName (no session is opened). The terminal's
 * status, -18, or a negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornEmvRegisterZeth(const char* appName);
/* Sends length bytes of data to appName's session and waits for the terminal's acknowledgement:
 * 0 acknowledged, the status of a problem report, -16 no such session, -18, or a negative
 * ORN_ERR_* code. Length -9999 instead writes appName as a log line at the level *data
 * (1 Severe .. 4 Detail) and returns -9999; length -9998 returns ornGetVersionDWORD(). */
ORN_API int ORN_CALL ornEmvSendAsync(const char* appName, const unsigned char* data, int length);
/* 1 when a session stands for appName, else 0; -18 for a null name. Sends nothing. */
ORN_API int ORN_CALL ornEmvSessionIsOpen(const char* appName);
/* out[0..1] = value's two bytes, lowest first. 0, or -18 for a null out. Needs no link. */
ORN_API int ORN_CALL ornEmvWin32Short2uint16(short value, unsigned char* out);
/* out[0..3] = value's four low bytes, lowest first. 0, or -18 for a null out. Needs no link. */
ORN_API int ORN_CALL ornEmvWin32Long2uint32(long value, unsigned char* out);

/* ---- Magnetic stripe reader -------------------------------------------------------------- */

/* tracks selects 1 the first track, 2 the second, 3 both. The reader-channel swipes return the
 * terminal's status byte, the display-driven ones its status digit; -18 for a bad argument
 * (nothing is sent), or a negative ORN_ERR_* code. Prompt lines take 16 display columns. */

/* Buffers of the display-driven swipes: track 1 up to 76 characters, track 2 up to 37, each
 * with its terminator; longer tracks are cut. */
#define ORN_TRACK1_TEXT_SIZE 77
#define ORN_TRACK2_TEXT_SIZE 38

/* Waits up to timeoutMs (0..600000, 0 no limit) for a swipe; the tracks reach callback.
 * 0 accepted. */
ORN_API int ORN_CALL ornSwipeMagStripeCardReq(int tracks, int timeoutMs, ornMsrCallback callback);
/* As ornSwipeMagStripeCardReq, blocking: the status, length and raw bytes (no terminator, buffers
 * of 255 bytes) of each track asked for. */
ORN_API int ORN_CALL ornSwipeMagStripeCardWait(int tracks, int timeoutMs, int* track1Status,
                                      int* track1Length, char* track1Data, int* track2Status,
                                      int* track2Length, char* track2Data);
/* Cancels the pending swipe; every pending card-reader request ends with -5, even when the
 * cancel's own exchange fails or the terminal is not connected (-11). */
ORN_API int ORN_CALL ornCancelMsrCommand(void);
/* Shows line1..line4 (line1 required; null lines are left out) and waits up to timeoutSec (0..99,
 * 0 no limit) for a swipe; option0 0..1, option1 and option2 0..4 are the terminal's. The tracks
 * and the source character reach callback. 0 accepted. */
ORN_API int ORN_CALL ornMsrWithDisplayHandlingReq(int tracks, int timeoutSec, int option0, int option1,
                                         int option2, const char* line1, const char* line2,
                                         const char* line3, const char* line4,
                                         ornMsrDisplayCallback callback);
/* As ornMsrWithDisplayHandlingReq, blocking: track texts into track1/track2 (ORN_TRACK*_TEXT_SIZE
 * bytes), the source character into sourceChar ('0' on failure; required when option0 is 1). */
ORN_API int ORN_CALL ornMsrWithDisplayHandlingWait(int tracks, int timeoutSec, int option0, int option1,
                                          int option2, const char* line1, const char* line2,
                                          const char* line3, const char* line4, char* track1,
                                          char* track2, char* sourceChar);
/* Waits for a swipe (showing the lines) or a smart card, whichever comes first, and ends the
 * other. callback gets the swipe's outcome, or the card's status with empty tracks and source
 * character '%' (status 0). 0 accepted; -12 while an earlier one is still pending. */
ORN_API int ORN_CALL ornMsrScInsertWithDisplayReq(int tracks, int timeoutSec, int option0, int option1,
                                         int option2, const char* line1, const char* line2,
                                         const char* line3, const char* line4,
                                         ornMsrDisplayCallback callback);
/* As ornMsrScInsertWithDisplayReq, blocking, with the outputs of ornMsrWithDisplayHandlingWait;
 * a card gives its status and sourceChar '%'. Only one combined command may run at a time. */
ORN_API int ORN_CALL ornMsrScInsertWithDisplayWait(int tracks, int timeoutSec, int option0, int option1,
                                          int option2, const char* line1, const char* line2,
                                          const char* line3, const char* line4, char* track1,
                                          char* track2, char* sourceChar);

/* ---- Smart card -------------------------------------------------------------------------- */

/* Smart-card commands return the terminal's status byte (0 success), -18 for a bad argument
 * (nothing is sent), or a negative ORN_ERR_* code; outputs are written on status 0 only. Waits
 * take timeoutMs 0..600000 (0 no limit). */

/* Size of the answer-to-reset and card answer buffers; longer answers are cut to it. */
#define ORN_SMART_CARD_DATA_SIZE 512

/* Powers the card up: its type byte, answer to reset (ORN_SMART_CARD_DATA_SIZE bytes) and the
 * answer's length. */
ORN_API int ORN_CALL ornSmartCardPowerUp(unsigned char* cardType, unsigned char* atr, int* atrLength);
/* Compares the card's answer to reset; the type byte into cardType. */
ORN_API int ORN_CALL ornSmartCardCompareAtr(unsigned char* cardType);
ORN_API int ORN_CALL ornSmartCardPowerOff(void);
/* The reader's status byte. */
ORN_API int ORN_CALL ornSmartCardStatus(void);
/* Cancels the pending smart-card operation; every pending smart-card request ends with -5, even
 * when the cancel's own exchange fails or the terminal is not connected (-11). */
ORN_API int ORN_CALL ornSmartCardCancel(void);
/* Sends the *dataLength (0..255) command bytes in data to the card and waits for its answer: three
 * leading bytes into byte1..byte3, the rest into data (ORN_SMART_CARD_DATA_SIZE bytes) with its
 * length in *dataLength. */
ORN_API int ORN_CALL ornAsynchCardExecution(unsigned char* data, int* dataLength, unsigned char* byte1,
                                   unsigned char* byte2, unsigned char* byte3);
/* 1 a card is in the reader, 0 none, 2 an EMV session is open (the reader is not asked), another
 * status byte, or a negative ORN_ERR_* code. */
ORN_API int ORN_CALL ornIsCardPresent(void);
/* Waits for a card; the status reaches callback. 0 accepted. */
ORN_API int ORN_CALL ornWaitForSmartCardInsertionReq(int timeoutMs, ornSmartCardCallback callback);
ORN_API int ORN_CALL ornWaitForSmartCardInsertionWait(int timeoutMs);
/* Waits for the card's removal; the status reaches callback. 0 accepted. */
ORN_API int ORN_CALL ornWaitForSmartCardRemovalReq(int timeoutMs, ornSmartCardCallback callback);
ORN_API int ORN_CALL ornWaitForSmartCardRemovalWait(int timeoutMs);
/* Waits for a card and powers it up; status, type and answer to reset reach callback. */
ORN_API int ORN_CALL ornWaitCardAndPowerUpAtrReq(int timeoutMs, ornSmartCardAtrCallback callback);
/* As ornWaitCardAndPowerUpAtrReq, blocking, with the outputs of ornSmartCardPowerUp. */
ORN_API int ORN_CALL ornWaitCardAndPowerUpAtrWait(int timeoutMs, unsigned char* cardType,
                                         unsigned char* atr, int* atrLength);
/* Powers the card off and waits for its removal; the status reaches callback. 0 accepted. */
ORN_API int ORN_CALL ornSmartCardPowerOffAndRemovalReq(int timeoutMs, ornSmartCardCallback callback);
ORN_API int ORN_CALL ornSmartCardPowerOffAndRemovalWait(int timeoutMs);

/* ---- Instrumentation --------------------------------------------------------------------- */

/* Always 0. */
ORN_API int ORN_CALL PurifyIsRunning(void);

#ifdef __cplusplus
}
#endif

#endif /* VELQUORAORN_H */
