// Layer 1: the library's exported C functions exactly as velquoraorn.h declares them, for
// callers that need a function the Terminal class does not wrap.
//
// Types follow the header one for one: int and int32_t are int, uint32_t and unsigned are uint,
// char passed by value is byte (one byte, not a UTF-16 char), C long and unsigned long are
// IntPtr/UIntPtr (32 bits in the 32-bit Windows DLL, 64 bits on 64-bit Linux: the width of a
// pointer on both), and every function and callback uses the C calling convention. Text the
// library returns (const char*) is its own memory and comes back as IntPtr: read it with
// Native.Text, never free it. Output buffers are StringBuilder (text) or byte[] (raw bytes, or a
// single character that may be left out by passing null) of the size the header states.
// Callback arguments that point at the library's buffers are IntPtr, valid only during the call.
//
// A delegate handed to the library must stay reachable for as long as the library may call it;
// the Terminal class does that for its own.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace VelquoraORN {
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnFkeyCallback(int status, byte key);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnInputCallback(int status, int length, IntPtr text);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnDecryptDisplayCallback(int status);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnDukptCallback(int status, IntPtr pinBlock, IntPtr ksn);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnPinCallback(int status, IntPtr pinBlock);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnDebitCallback(int status, uint firstValue, uint secondValue,
                                          uint thirdValue, byte code, IntPtr pinBlock,
                                          IntPtr secondText, IntPtr firstText);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnScrollCallback(int status, int selection, int data);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnMsrCallback(int status, int track1Status, int track1Length,
                                        IntPtr track1, int track2Status, int track2Length,
                                        IntPtr track2);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnMsrDisplayCallback(int status, IntPtr track1, IntPtr track2, byte flag);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnSmartCardCallback(int status);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnSmartCardAtrCallback(int status, byte type, IntPtr data, int length);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnPowerUpCallback();
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnConnectionStateCallback(int state);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void OrnEmvSessionCallback(int subType, IntPtr data, int length);

    /// <summary>One COM port as ornFindComPortsEx reports it (24 bytes).</summary>
    [StructLayout(LayoutKind.Explicit, Size = 24, CharSet = CharSet.Ansi)]
    public unsafe struct OrnComPortInfo {
        [FieldOffset(0)]
        public fixed byte portName[8];
        [FieldOffset(8)]
        public int kind;
        [FieldOffset(12)]
        public fixed byte productId[8];
        [FieldOffset(20)]
        public int available;

        public string PortName {
            get { fixed(byte* p = portName) return Native.Text(p, 8); }
        }
        public string ProductId {
            get { fixed(byte* p = productId) return Native.Text(p, 8); }
        }
    }

    /// <summary>One terminal on USB HID as ornFindUsbHidDevice reports it (266 bytes).</summary>
    [StructLayout(LayoutKind.Explicit, Size = 266, CharSet = CharSet.Ansi)]
    public unsafe struct OrnUsbHidDeviceInfo {
        [FieldOffset(0)]
        public fixed byte devicePath[261];
        [FieldOffset(261)]
        public fixed byte productId[5];

        public string DevicePath {
            get { fixed(byte* p = devicePath) return Native.Text(p, 261); }
        }
        public string ProductId {
            get { fixed(byte* p = productId) return Native.Text(p, 5); }
        }
    }

    public static class Native {
        /// <summary>The DLL's name; under Mono VelquoraORN.Net.dll.config maps it to
        /// libvelquoraorn.so.</summary>
        public const string Library = "VelquoraORN";
        /// <summary>ornReOpenPort is exported under its C++ name.</summary>
        public const string ReOpenPortEntryPoint = "?ornReOpenPort@@YAHXZ";

        public const int ORN_ERR_NO_ERROR = 0;
        public const int ORN_ERR_COMM_PORT_NOT_OPEN = -1;
        public const int ORN_ERR_NO_ACK_ERROR = -2;
        public const int ORN_ERR_NO_RESPONSE_ERROR = -3;
        public const int ORN_ERR_NOT_DEFINED = -4;
        public const int ORN_ERR_CANCELED_BY_USER_ERROR = -5;
        public const int ORN_ERR_DEVICE_ERROR = -6;
        public const int ORN_ERR_UNKNOWN_ERROR = -7;
        public const int ORN_ERR_GOT_NAK_ERROR = -8;
        public const int ORN_ERR_CANCELED_BY_POWERUP_ERROR = -9;
        public const int ORN_ERR_WRONG_RESPONSE_ERROR = -10;
        public const int ORN_ERR_DEVICE_IS_NOT_RESPONDING_ERROR = -11;
        public const int ORN_ERR_DEVICE_IS_BUSY_ERROR = -12;
        public const int ORN_ERR_DEVICE_USB_DISCONNECTED = -13;
        public const int ORN_ERR_EMV_APPLICATION_NOT_FOUND = -14;
        public const int ORN_ERR_EMV_SESSION_TABLE_FULL = -15;
        public const int ORN_ERR_EMV_NOT_IN_SESSION_TABLE = -16;
        public const int ORN_ERR_COMMAND_NOT_EXIST = -17;
        public const int ORN_ERR_INVALID_PARAMETER_IN_API_CALL = -18;
        public const int ORN_ERR_API_TIMEOUT = -19;
        public const int ORN_ERR_API_QUEUE_BLOCKED = -20;
        public const int ORN_ERR_COM_PORT_NOT_EXIST = -21;
        public const int ORN_ERR_COM_PORT_BUSY = -22;
        public const int ORN_ERR_OTHER_COM_ALREADY_OPEN = -23;
        public const int ORN_ERR_COM_PORT_NAME_TOO_LONG = -24;

        public const int ORN_LOGGER_OFF = 0;
        public const int ORN_LOGGER_SEVERE = 1;
        public const int ORN_LOGGER_INFO = 2;
        public const int ORN_LOGGER_FINE = 3;
        public const int ORN_LOGGER_ON = 4;
        public const int ORN_LINK_MONITOR_OFF = unchecked((int)0x80000000);

        public const int ORN_TRACK1_TEXT_SIZE = 77;
        public const int ORN_TRACK2_TEXT_SIZE = 38;
        public const int ORN_SMART_CARD_DATA_SIZE = 512;

        /// <summary>The zero-terminated text at text (null for a null pointer).</summary>
        public static string Text(IntPtr text) {
            return text == IntPtr.Zero ? null : Marshal.PtrToStringAnsi(text);
        }

        /// <summary>The text in a fixed field of size bytes, up to its first zero byte.</summary>
        internal static unsafe string Text(byte* field, int size) {
            int length = 0;
            while (length < size && field[length] != 0) ++length;
            return Marshal.PtrToStringAnsi((IntPtr)field, length);
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornInit(string portName, string logFile, int logLevel);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornInitLegacy(string portName, string logFile, int logLevel);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornOpen(string portName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern void ornClose();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi,
                   EntryPoint = ReOpenPortEntryPoint)]
        public static extern int ornReOpenPort();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern IntPtr ornGetComPort();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern IntPtr ornGetVersion();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern uint ornGetVersionDWORD();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern IntPtr ornGetErrorString(int code);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornPing();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornCheckConnectionStatus();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornIsBusy(int device);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern void ornSetPowerUpCallback(OrnPowerUpCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern void ornSetConnectionStateCallback(
            OrnConnectionStateCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornInputTimeoutAutoCancel(int seconds);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSetDTR_CheckDSR(string portName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornFindComPorts(StringBuilder buffer, int size);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornFindComPortsEx([In, Out] OrnComPortInfo[] records, int count);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornIsUsbComPort(string portName, out int isUsb);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornIsVelquoraUsbComPort(string portName, out int isVelquoraUsb);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornFindUsbHidDevice([In, Out] OrnUsbHidDeviceInfo[] records,
                                                     int count);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSetPinpadCommunicationPort(int interfaceKind);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornChangeLoggingState(int level);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSetLogKey(string key);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSetLogFileSizeLimit(int limit);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSetLogSensitiveData(int on);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornBeep(int beepCode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornCancel();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornReboot();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornReturnToIdle(int value);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornReturnToIdleBase36(string code);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornGenericAsciiCommand(string id, string data,
                                                        StringBuilder response, int responseSize);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornPromptRegister(int index, string prompt, string tail);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornGetDateTimeString(int format, StringBuilder text);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornGetDateTime(out int year, out int month, out int day,
                                                out int hour, out int minute, out int second);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSetDateTime(int year, int month, int day, int hour, int minute,
                                                int second);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornApplicationUpdate();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDeviceInfo(StringBuilder info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDeviceInfoDetailed(StringBuilder info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDeviceInfoType(StringBuilder info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDeviceInfoAllVersions(StringBuilder info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornGetSerialNumber(StringBuilder serial);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDisplay(string line1, string line2, string line3, string line4);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornFunctionKeyPromptWait(string line1, string line2, string line3,
                                                          string line4, byte[] key);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornFunctionKeyPromptReq(string line1, string line2, string line3,
                                                         string line4, OrnFkeyCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornClearDisplay();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornClearDisplayLine(int line);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornAmountConfirmationWait(int mode, UIntPtr amount, string text,
                                                           byte[] key);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornAmountConfirmationReq(int mode, UIntPtr amount, string text,
                                                          OrnFkeyCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornKeyboardCheck();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDisplayAndWaitForInputWait(int mode, int type, int option,
                                                               string prompt, int promptIndex,
                                                               ref int length, StringBuilder text);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDisplayAndWaitForInputReq(int mode, int type, int option,
                                                              string prompt, int promptIndex,
                                                              int maxLength,
                                                              OrnInputCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornClearTextEntryWithStoredPromptWait(int mode, int type,
                                                                       int option, int promptIndex,
                                                                       ref int length,
                                                                       StringBuilder text);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornClearTextEntryWithStoredPromptReq(int mode, int type,
                                                                      int option, int promptIndex,
                                                                      int maxLength,
                                                                      OrnInputCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern void ornAddListItem(byte[] list, string item, uint size);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern void ornAddListItemWithData(byte[] list, string item, int data,
                                                         uint size);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornScrollListReq(int reserved, int option1, int option2, int flag1,
                                                  int displayTime, int flag2, int option3,
                                                  string title1, string title2, string title3,
                                                  string title4, string list,
                                                  OrnScrollCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornScrollListWait(int reserved, int option1, int option2,
                                                   int flag1, int displayTime, int flag2,
                                                   int option3, string title1, string title2,
                                                   string title3, string title4, string list,
                                                   out int selection, out int data);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornReadBlock(StringBuilder block);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWriteBlock(string block);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornReadDataTable(StringBuilder record);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWriteDataTable(string record);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDeleteDataTable(int recordNumber);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornResetDataTable(int mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDataTableRecordsInquiry(out int value1, out int value2);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDataTableInquiry(out int value);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornLoadMasterSessionKey(int keyIndex, int keyType, string key,
                                                         string checkValue, string extra, int flag);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDiagnosticKeyRequest(byte request, int keyIndex,
                                                         StringBuilder value);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDiagnosticKeyRequestKeyType(byte keyType, StringBuilder value);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDataEncryption(int keyIndex, string key, string checkValue,
                                                   string data, StringBuilder result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDataEncryptionCipher(int cipher, int keyIndex, string key,
                                                         string checkValue, string data,
                                                         StringBuilder result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDecryptAndDisplayReq(int flag, int digit, int displayTime,
                                                         int keyIndex, string key,
                                                         string checkValue, string data,
                                                         string text,
                                                         OrnDecryptDisplayCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDecryptAndDisplayWait(int flag, int digit, int displayTime,
                                                          int keyIndex, string key,
                                                          string checkValue, string data,
                                                          string text);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDecryptAndDisplayInAsciiReq(int digit, int displayTime,
                                                                int keyIndex, string key,
                                                                string checkValue, string data,
                                                                string text,
                                                                OrnDecryptDisplayCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDecryptAndDisplayInAsciiWait(int digit, int displayTime,
                                                                 int keyIndex, string key,
                                                                 string checkValue, string data,
                                                                 string text);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMacCalculationAsciiMode(int keyIndex, string key,
                                                            string checkValue, string data,
                                                            StringBuilder mac);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMacCalculationHexMode(int keyIndex, string key,
                                                          string checkValue, string data,
                                                          StringBuilder mac);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMacVerificationAsciiMode(int keyIndex, string key,
                                                             string checkValue, string expectedMac,
                                                             string data, out int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMacVerificationHexMode(int keyIndex, string key,
                                                           string checkValue, string expectedMac,
                                                           string data, out int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMacCalculationAsciiVarMode(int keyIndex, int keyMode,
                                                               string key, string checkValue,
                                                               string data, StringBuilder mac);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMacVerificationAsciiVarMode(int keyIndex, int keyMode,
                                                                string key, string checkValue,
                                                                string expectedMac, string data,
                                                                out int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornXmacCalculationAsciiVarMode(int keyIndex, int keyMode,
                                                                string key, string checkValue,
                                                                string data, StringBuilder mac);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornXmacVerificationAsciiVarMode(int keyIndex, int keyMode,
                                                                 string key, string checkValue,
                                                                 string expectedMac, string data,
                                                                 out int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornBinaryMacCalculation(int keyIndex, int keyMode, string key,
                                                         string checkValue, byte[] data,
                                                         int dataLength, StringBuilder mac);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornBinaryMacVerification(int keyIndex, int keyMode, string key,
                                                          string checkValue, string expectedMac,
                                                          byte[] data, int dataLength,
                                                          out int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDukptPinReq(int selector, int timeout, int option,
                                                string account, string prompt,
                                                OrnDukptCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDukptPinWait(int selector, int timeout, int option,
                                                 string account, string prompt,
                                                 StringBuilder pinBlock, StringBuilder ksn);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMasterSessionPinEntryReq(int selector, int timeout, int option,
                                                             int keyIndex, string account,
                                                             string sessionKey, string checkValue,
                                                             string prompt,
                                                             OrnPinCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMasterSessionPinEntryWait(int selector, int timeout, int option,
                                                              int keyIndex, string account,
                                                              string sessionKey, string checkValue,
                                                              string prompt,
                                                              StringBuilder pinBlock);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMSPinWithDisplayReq(int selector, int option, int keyIndex,
                                                        string account, int keyMode, string key,
                                                        string checkValue, string prompt,
                                                        int option2, int option3, int keyIndex2,
                                                        string line1, string line2, string line3,
                                                        int timeout, OrnPinCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMSPinWithDisplayWait(int selector, int option, int keyIndex,
                                                         string account, int keyMode, string key,
                                                         string checkValue, string prompt,
                                                         int option2, int option3, int keyIndex2,
                                                         string line1, string line2, string line3,
                                                         int timeout, StringBuilder pinBlock);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMSPinWithDisplayExReq(int selector, int option, int keyIndex,
                                                          string account, int keyMode, string key,
                                                          string checkValue, int minPinLength,
                                                          int maxPinLength, string prompt,
                                                          int option2, int option3, int keyIndex2,
                                                          string line1, string line2, string line3,
                                                          int timeout, OrnPinCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMSPinWithDisplayExWait(int selector, int option, int keyIndex,
                                                           string account, int keyMode, string key,
                                                           string checkValue, int minPinLength,
                                                           int maxPinLength, string prompt,
                                                           int option2, int option3, int keyIndex2,
                                                           string line1, string line2, string line3,
                                                           int timeout, StringBuilder pinBlock);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornPinEntryCancel();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDebitSequenceInit(
            int field1, string field2, string field3, int field4, string field5, string field6,
            int field7, int field8, string field9, int field10, string field11, int field12,
            int field13, string field14, int field15, string field16, int field17, string field18,
            string field19, int field20, string field21, string field22, int field23, int field24,
            string field25, int field26, string field27, int field28, string field29,
            string field30, string field31);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornDebitSequenceStartReq(
            int firstFlag, int firstStageSeconds, int entryMode, int secondFlag, int stageSeconds,
            int pinTimeout, string prompt, int amount, int extraStage1, int extraStage2,
            int keyIndex, int keyMode, string key, string checkValue, string account,
            OrnDebitCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvOpenSession(string appName, OrnEmvSessionCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvCloseSession(string appName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvGetAppVersion(string appName, StringBuilder version);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvRegisterZeth(string appName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvSendAsync(string appName, byte[] data, int length);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvSessionIsOpen(string appName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvWin32Short2uint16(short value, byte[] @out);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornEmvWin32Long2uint32(IntPtr value, byte[] @out);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSwipeMagStripeCardReq(int tracks, int timeoutMs,
                                                          OrnMsrCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSwipeMagStripeCardWait(int tracks, int timeoutMs,
                                                           out int track1Status,
                                                           out int track1Length, byte[] track1Data,
                                                           out int track2Status,
                                                           out int track2Length, byte[] track2Data);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornCancelMsrCommand();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMsrWithDisplayHandlingReq(int tracks, int timeoutSec,
                                                              int option0, int option1, int option2,
                                                              string line1, string line2,
                                                              string line3, string line4,
                                                              OrnMsrDisplayCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMsrWithDisplayHandlingWait(
            int tracks, int timeoutSec, int option0, int option1, int option2, string line1,
            string line2, string line3, string line4, StringBuilder track1, StringBuilder track2,
            byte[] sourceChar);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMsrScInsertWithDisplayReq(int tracks, int timeoutSec,
                                                              int option0, int option1, int option2,
                                                              string line1, string line2,
                                                              string line3, string line4,
                                                              OrnMsrDisplayCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornMsrScInsertWithDisplayWait(
            int tracks, int timeoutSec, int option0, int option1, int option2, string line1,
            string line2, string line3, string line4, StringBuilder track1, StringBuilder track2,
            byte[] sourceChar);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardPowerUp(out byte cardType, byte[] atr,
                                                     out int atrLength);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardCompareAtr(out byte cardType);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardPowerOff();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardStatus();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardCancel();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornAsynchCardExecution(byte[] data, ref int dataLength,
                                                        out byte byte1, out byte byte2,
                                                        out byte byte3);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornIsCardPresent();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWaitForSmartCardInsertionReq(int timeoutMs,
                                                                 OrnSmartCardCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWaitForSmartCardInsertionWait(int timeoutMs);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWaitForSmartCardRemovalReq(int timeoutMs,
                                                               OrnSmartCardCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWaitForSmartCardRemovalWait(int timeoutMs);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWaitCardAndPowerUpAtrReq(int timeoutMs,
                                                             OrnSmartCardAtrCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornWaitCardAndPowerUpAtrWait(int timeoutMs, out byte cardType,
                                                              byte[] atr, out int atrLength);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardPowerOffAndRemovalReq(int timeoutMs,
                                                                   OrnSmartCardCallback callback);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int ornSmartCardPowerOffAndRemovalWait(int timeoutMs);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Ansi)]
        public static extern int PurifyIsRunning();
    }
}
