// Layer 2: the terminal as a C# developer uses it. Blocking commands return typed results and
// throw OrnException; the library's Req commands are Tasks completed from its callback threads.
// The library drives one link per process, so one Terminal is open at a time.
using System;
using System.Collections.Generic;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace VelquoraORN {
    public enum ConnectionState {
        Closed = -1,
        Ok = 0,
        Disconnected = 1,
        Pending = 2,
        PowerUpDetected = 3
    }

    public sealed class ConnectionStateEventArgs : EventArgs {
        public ConnectionStateEventArgs(ConnectionState state) { State = state; }
        public ConnectionState State { get; private set; }
    }

    public sealed class EmvDataEventArgs : EventArgs {
        public EmvDataEventArgs(string appName, int subType, byte[] data) {
            AppName = appName;
            SubType = subType;
            Data = data;
        }
        public string AppName { get; private set; }
        /// <summary>The terminal's sub-type; 4 also ends the session.</summary>
        public int SubType { get; private set; }
        public byte[] Data { get; private set; }
    }

    public sealed class CallbackFailedEventArgs : EventArgs {
        public CallbackFailedEventArgs(Exception exception) { Exception = exception; }
        public Exception Exception { get; private set; }
    }

    /// <summary>Tracks read by a swipe on the card reader channel.</summary>
    public sealed class CardSwipe {
        public int Track1Status, Track2Status;
        public byte[] Track1, Track2;
        public string Track1Text {
            get { return Encoding.ASCII.GetString(Track1); }
        }
        public string Track2Text {
            get { return Encoding.ASCII.GetString(Track2); }
        }
    }

    /// <summary>Tracks read by a display-driven swipe, and the source character ('%' a smart
    /// card).</summary>
    public sealed class DisplaySwipe {
        public string Track1, Track2;
        public char Source;
    }

    public sealed class ScrollSelection {
        public int Selection;
        /// <summary>The item's data, -1 when it carries none.</summary>
        public int Data;
    }

    public sealed class DukptPin { public string PinBlock, KeySerialNumber; }

    public sealed class DebitResult {
        public uint FirstValue, SecondValue, ThirdValue;
        public char Code;
        public string PinBlock, SecondText, FirstText;
    }

    public sealed class SmartCardAtr {
        public byte CardType;
        public byte[] Atr;
    }

    public sealed class ComPort {
        public string Name;
        /// <summary>0 not USB, 1 another vendor's USB port, 2 the terminal maker's.</summary>
        public int Kind;
        public string ProductId;
    }

    public sealed class HidTerminal { public string DevicePath, ProductId; }

    /// <summary>A scroll list's text, built item by item as the library formats it.</summary>
    public sealed class ScrollList {
        readonly byte[] buffer;

        public ScrollList(int size = 1024) { buffer = new byte[size]; }

        /// <summary>Adds item (with data 0..0xFFFF when given); false when it did not
        /// fit.</summary>
        public bool Add(string item, int? data = null) {
            string before = Text;
            if (data.HasValue)
                Native.ornAddListItemWithData(buffer, item, data.Value, (uint)buffer.Length);
            else
                Native.ornAddListItem(buffer, item, (uint)buffer.Length);
            return Text != before;
        }

        public string Text {
            get {
                int length = Array.IndexOf(buffer, (byte)0);
                return Encoding.Default.GetString(buffer, 0, length < 0 ? buffer.Length : length);
            }
        }
    }

    public sealed class Terminal : IDisposable {
        // The library keeps its power-up and connection state callbacks across opens and has one
        // link per process: one pair of forwarders, reachable for the life of the process.
        static readonly OrnPowerUpCallback powerUpForwarder = () => Forward(t => t.OnPowerUp());
        static readonly OrnConnectionStateCallback stateForwarder = s =>
            Forward(t => t.OnConnectionState(s));
        static readonly object openLock = new object();
        static Terminal current;
        static readonly TimeSpan CancelGrace = TimeSpan.FromSeconds(5);

        readonly CallbackQueue events;
        // Every callback the library may still call, held until it was called or the link closed.
        readonly HashSet<object> held = new HashSet<object>();
        readonly HashSet<IPendingRequest> pending = new HashSet<IPendingRequest>();
        int closing;

        public event EventHandler PowerUp;
        public event EventHandler<ConnectionStateEventArgs> ConnectionStateChanged;
        public event EventHandler<EmvDataEventArgs> EmvData;
        /// <summary>An event handler threw; the exception is reported here and nowhere
        /// else.</summary>
        public event EventHandler<CallbackFailedEventArgs> CallbackFailed;

        Terminal() {
            events = new CallbackQueue(e => {
                var handler = CallbackFailed;
            if (handler != null) handler(this, new CallbackFailedEventArgs(e));
        });
    }

    // ---- Session -----------------------------------------------------------------------

    /// <summary>Opens "COMn", "USBHID" or "AUTO" and waits until the terminal is ready.
    /// logFile null writes no log; logLevel is an ORN_LOGGER_* value.</summary>
    public static Terminal Open(string portName, string logFile = null,
                                int logLevel = Native.ORN_LOGGER_OFF) {
        var terminal = new Terminal();
        lock (openLock) {
            if (current != null) throw new OrnException(Native.ORN_ERR_OTHER_COM_ALREADY_OPEN);
            current = terminal;
        }
        Native.ornSetPowerUpCallback(powerUpForwarder);
        Native.ornSetConnectionStateCallback(stateForwarder);
        int result = Native.ornInit(portName, logFile, logLevel);
        if (result != 0) {
            lock (openLock) current = null;
            throw new OrnException(result);
        }
        return terminal;
    }

    /// <summary>Closes the link. Every pending request ends at once with
    /// ORN_ERR_COMM_PORT_NOT_OPEN; returns after the library's last callback of the link.</summary>
    public void Close() {
        if (Interlocked.Exchange(ref closing, 1) != 0) return;
        EndPending(Native.ORN_ERR_COMM_PORT_NOT_OPEN);
        Native.ornClose();
        // ornClose has run or given up on every callback of the link: none is called again.
        lock (held) held.Clear();
        lock (openLock) if (current == this) current = null;
    }

    public void Dispose() {
        Close();
    }

    public bool IsClosed {
        get { return Volatile.Read(ref closing) != 0; }
    }
    public string PortName {
        get { return Native.Text(Native.ornGetComPort()); }
    }
    public static string Version {
        get { return Native.Text(Native.ornGetVersion()); }
    }
    public static string ErrorName(int code) {
        return Native.Text(Native.ornGetErrorString(code));
    }
    public ConnectionState ConnectionState {
        get {
            int state = Native.ornCheckConnectionStatus();
            if (state < -1) throw new OrnException(state);
            return (ConnectionState)state;
        }
    }
    /// <summary>True when the link is open and the terminal connected; sends nothing.</summary>
    public bool Ping() {
        return Native.ornPing() == 0;
    }
    /// <summary>Reopens the port after it vanished and came back; false when that failed.</summary>
    public bool ReOpenPort() {
        return Native.ornReOpenPort() == 0;
    }

    // ---- Basic commands and device information --------------------------------------------

    public void Beep(int beepCode) {
        OrnException.Check(Native.ornBeep(beepCode));
    }
    public void Cancel() {
        OrnException.Check(Native.ornCancel());
    }
    public void Reboot() {
        OrnException.Check(Native.ornReboot());
    }
    public void ReturnToIdle(int screen) {
        OrnException.Check(Native.ornReturnToIdle(screen));
    }
    public void RegisterPrompt(int index, string prompt, string tail) {
        OrnException.Check(Native.ornPromptRegister(index, prompt, tail));
    }

    /// <summary>Sends message id with data; the terminal's whole answer text.</summary>
    public string GenericAsciiCommand(string id, string data, int responseSize = 4096) {
        var response = new StringBuilder(responseSize);
        int length = Native.ornGenericAsciiCommand(id, data, response, responseSize);
        if (length < 0) throw new OrnException(length);
        return response.ToString();
    }

    public string DeviceInfo() {
        return Text(28, Native.ornDeviceInfo);
    }
    public string DeviceType() {
        return Text(6, Native.ornDeviceInfoType);
    }
    public string SerialNumber() {
        return Text(17, Native.ornGetSerialNumber);
    }

    public DateTime GetDateTime() {
        int year, month, day, hour, minute, second;
        OrnException.Check(
            Native.ornGetDateTime(out year, out month, out day, out hour, out minute, out second));
        return new DateTime(year, month, day, hour, minute, second);
    }

    public void SetDateTime(DateTime time) {
        OrnException.Check(Native.ornSetDateTime(time.Year, time.Month, time.Day, time.Hour,
                                                 time.Minute, time.Second));
    }

    // ---- Display and prompts --------------------------------------------------------------

    /// <summary>Shows the lines (null leaves a line as it is).</summary>
    public void Display(string line1, string line2 = null, string line3 = null,
                        string line4 = null) {
        OrnException.Check(Native.ornDisplay(line1, line2, line3, line4));
    }

    public void ClearDisplay() {
        OrnException.Check(Native.ornClearDisplay());
    }
    public void ClearDisplayLine(int line) {
        OrnException.Check(Native.ornClearDisplayLine(line));
    }

    /// <summary>Shows the lines and waits for a function key; the key pressed.</summary>
    public char PromptFunctionKey(string line1, string line2 = null, string line3 = null,
                                  string line4 = null) {
        var key = new byte[1];
        OrnException.Check(Native.ornFunctionKeyPromptWait(line1, line2, line3, line4, key));
        return (char)key[0];
    }

    public Task<char> PromptFunctionKeyAsync(string line1, string line2 = null, string line3 = null,
                                             string line4 = null, TimeSpan? timeLimit = null,
                                             CancellationToken token = default(CancellationToken)) {
        return Request<char, OrnFkeyCallback>(
            RequestFamily.Display, timeLimit, token,
            p => (status, key) => p.Complete(status, () => (char)key),
            callback => Native.ornFunctionKeyPromptReq(line1, line2, line3, line4, callback));
    }

    /// <summary>Asks the cardholder to confirm amount under mode 1..4; the key pressed.</summary>
    public Task<char> ConfirmAmountAsync(int mode, ulong amount, string text = null,
                                         TimeSpan? timeLimit = null,
                                         CancellationToken token = default(CancellationToken)) {
        return Request<char, OrnFkeyCallback>(
            RequestFamily.Display, timeLimit, token,
            p => (status, key) => p.Complete(status, () => (char)key),
            callback => Native.ornAmountConfirmationReq(mode, new UIntPtr(amount), text, callback));
    }

    // ---- Keypad entry ---------------------------------------------------------------------

    /// <summary>Shows prompt (or stored prompt promptIndex, 255 none) and reads a keypad entry
    /// of at most maxLength characters (0 no limit).</summary>
    public string ReadInput(int mode, int type, int option, string prompt, int promptIndex = 255,
                            int maxLength = 0) {
        int length = maxLength;
        var text = new StringBuilder(maxLength == 0 ? 33 : maxLength + 1);
        OrnException.Check(Native.ornDisplayAndWaitForInputWait(mode, type, option, prompt,
                                                                promptIndex, ref length, text));
        return text.ToString();
    }

    public Task<string> ReadInputAsync(int mode, int type, int option, string prompt,
                                       int promptIndex = 255, int maxLength = 0,
                                       TimeSpan? timeLimit = null,
                                       CancellationToken token = default(CancellationToken)) {
        return Request<string, OrnInputCallback>(
            RequestFamily.Display, timeLimit, token,
            p => (status, length, text) => p.Complete(status, () => Native.Text(text)),
            callback => Native.ornDisplayAndWaitForInputReq(mode, type, option, prompt, promptIndex,
                                                            maxLength, callback));
    }

    // ---- Scroll list ----------------------------------------------------------------------

    public Task<ScrollSelection> ScrollListAsync(
        ScrollList list, string title1, string title2 = "", string title3 = "", string title4 = "",
        int option1 = 1, int option2 = 1, int option3 = 1, int displayTime = 0,
        TimeSpan? timeLimit = null, CancellationToken token = default(CancellationToken)) {
        string text = list.Text;
        return Request<ScrollSelection, OrnScrollCallback>(
            RequestFamily.Display, timeLimit, token,
            p => (status, selection, data) => p.Complete(
                status, () => new ScrollSelection { Selection = selection, Data = data }),
            callback => Native.ornScrollListReq(0, option1, option2, 0, displayTime, 0, option3,
                                                title1, title2, title3, title4, text, callback));
    }

    // ---- Card swipe and smart card --------------------------------------------------------

    /// <summary>Waits up to timeoutMs (0 no limit) for a swipe; tracks 1, 2 or 3 (both).</summary>
    public Task<CardSwipe> SwipeCardAsync(int tracks, int timeoutMs = 0, TimeSpan? timeLimit = null,
                                          CancellationToken token = default(CancellationToken)) {
        return Request<CardSwipe, OrnMsrCallback>(
            RequestFamily.CardReader, timeLimit, token,
            p => (status, s1, l1, t1, s2, l2, t2) => p.Complete(
                status, () => new CardSwipe { Track1Status = s1, Track1 = Bytes(t1, l1),
                                              Track2Status = s2, Track2 = Bytes(t2, l2) }),
            callback => Native.ornSwipeMagStripeCardReq(tracks, timeoutMs, callback));
    }

    /// <summary>Shows the lines and waits up to timeoutSec (0 no limit) for a swipe.</summary>
    public Task<DisplaySwipe> SwipeCardWithDisplayAsync(
        int tracks, int timeoutSec, string line1, string line2 = null, string line3 = null,
        string line4 = null, TimeSpan? timeLimit = null,
        CancellationToken token = default(CancellationToken)) {
        return Request<DisplaySwipe, OrnMsrDisplayCallback>(
            RequestFamily.CardReader, timeLimit, token, DisplaySwipeCallback,
            callback => Native.ornMsrWithDisplayHandlingReq(tracks, timeoutSec, 0, 0, 0, line1,
                                                            line2, line3, line4, callback));
    }

    /// <summary>As SwipeCardWithDisplayAsync, ended also by a smart card (Source '%').</summary>
    public Task<DisplaySwipe> SwipeOrInsertAsync(
        int tracks, int timeoutSec, string line1, string line2 = null, string line3 = null,
        string line4 = null, TimeSpan? timeLimit = null,
        CancellationToken token = default(CancellationToken)) {
        return Request<DisplaySwipe, OrnMsrDisplayCallback>(
            RequestFamily.CardReader, timeLimit, token, DisplaySwipeCallback,
            callback => Native.ornMsrScInsertWithDisplayReq(tracks, timeoutSec, 0, 0, 0, line1,
                                                            line2, line3, line4, callback));
    }

    static OrnMsrDisplayCallback DisplaySwipeCallback(PendingRequest<DisplaySwipe> p) {
        return (status, t1, t2, flag) => p.Complete(status, () => new DisplaySwipe {
            Track1 = Native.Text(t1), Track2 = Native.Text(t2), Source = (char)flag
        });
    }

    /// <summary>Waits up to timeoutMs (0 no limit) for a smart card.</summary>
    public Task WaitForCardInsertionAsync(int timeoutMs = 0, TimeSpan? timeLimit = null,
                                          CancellationToken token = default(CancellationToken)) {
        return Request<bool, OrnSmartCardCallback>(
            RequestFamily.SmartCard, timeLimit, token,
            p => status => p.Complete(status, () => true),
            callback => Native.ornWaitForSmartCardInsertionReq(timeoutMs, callback));
    }

    /// <summary>Waits for a smart card and powers it up: its type and answer to reset.</summary>
    public Task<SmartCardAtr> PowerUpCardAsync(
        int timeoutMs = 0, TimeSpan? timeLimit = null,
        CancellationToken token = default(CancellationToken)) {
        return Request<SmartCardAtr, OrnSmartCardAtrCallback>(
            RequestFamily.SmartCard, timeLimit, token,
            p => (status, type, data, length) => p.Complete(
                status, () => new SmartCardAtr { CardType = type, Atr = Bytes(data, length) }),
            callback => Native.ornWaitCardAndPowerUpAtrReq(timeoutMs, callback));
    }

    /// <summary>Powers the card off and waits for its removal.</summary>
    public Task RemoveCardAsync(int timeoutMs = 0, TimeSpan? timeLimit = null,
                                CancellationToken token = default(CancellationToken)) {
        return Request<bool, OrnSmartCardCallback>(
            RequestFamily.SmartCard, timeLimit, token,
            p => status => p.Complete(status, () => true),
            callback => Native.ornSmartCardPowerOffAndRemovalReq(timeoutMs, callback));
    }

    /// <summary>1 a card is in the reader, 0 none, 2 an EMV session is open.</summary>
    public int IsCardPresent() {
        int result = Native.ornIsCardPresent();
        if (result < 0) throw new OrnException(result);
        return result;
    }

    // ---- PIN entry and debit --------------------------------------------------------------

    /// <summary>Master/session PIN entry for account (16 characters) under sessionKey; the PIN
    /// block. timeout in units of 5 s (0 no limit); prompt null for "PIN=".</summary>
    public Task<string> MasterSessionPinAsync(
        string account, string sessionKey, string checkValue = null, int keyIndex = 0,
        int timeout = 0, string prompt = null, int selector = 0, int option = 0,
        TimeSpan? timeLimit = null, CancellationToken token = default(CancellationToken)) {
        return Request<string, OrnPinCallback>(
            RequestFamily.Pin, timeLimit, token,
            p => (status, pinBlock) => p.Complete(status, () => Native.Text(pinBlock)),
            callback =>
                Native.ornMasterSessionPinEntryReq(selector, timeout, option, keyIndex, account,
                                                   sessionKey, checkValue, prompt, callback));
    }

    public Task<DukptPin> DukptPinAsync(string account, int timeout = 0, string prompt = null,
                                        int selector = 0, int option = 0,
                                        TimeSpan? timeLimit = null,
                                        CancellationToken token = default(CancellationToken)) {
        return Request<DukptPin, OrnDukptCallback>(
            RequestFamily.Pin, timeLimit, token,
            p => (status, pinBlock, ksn) =>
                p.Complete(status, () => new DukptPin { PinBlock = Native.Text(pinBlock),
                                                        KeySerialNumber = Native.Text(ksn) }),
            callback =>
                Native.ornDukptPinReq(selector, timeout, option, account, prompt, callback));
    }

    public void PinEntryCancel() {
        OrnException.Check(Native.ornPinEntryCancel());
    }

    /// <summary>Runs the debit sequence for amount (cents) with the screens loaded through
    /// Native.ornDebitSequenceInit; keyMode 0 no key, 1 a 16-digit key, 2 a 32-digit one.</summary>
    public Task<DebitResult> DebitAsync(int amount, string account, int keyMode = 0,
                                        string key = null, string checkValue = null,
                                        int keyIndex = 0, int pinTimeout = 6, int stageSeconds = 30,
                                        string prompt = null, TimeSpan? timeLimit = null,
                                        CancellationToken token = default(CancellationToken)) {
        return Request<DebitResult, OrnDebitCallback>(
            RequestFamily.Pin, timeLimit, token,
            p => (status, v1, v2, v3, code, pinBlock, secondText, firstText) => p.Complete(
                status, () => new DebitResult { FirstValue = v1, SecondValue = v2, ThirdValue = v3,
                                                Code = (char)code, PinBlock = Native.Text(pinBlock),
                                                SecondText = Native.Text(secondText),
                                                FirstText = Native.Text(firstText) }),
            callback => Native.ornDebitSequenceStartReq(
                0, stageSeconds, 0, 0, stageSeconds, pinTimeout, prompt, amount, 0, 0, keyIndex,
                keyMode, key, checkValue, account, callback));
    }

    // ---- Keys and MAC ---------------------------------------------------------------------

    /// <summary>Loads key (16/32 hex digits) of keyType 0..4 at keyIndex; final marks the last
    /// load.</summary>
    public void LoadMasterSessionKey(int keyIndex, int keyType, string key, string checkValue,
                                     string extra = null, bool final = false) {
        OrnException.Check(Native.ornLoadMasterSessionKey(keyIndex, keyType, key, checkValue, extra,
                                                          final ? 1 : 0));
    }

    /// <summary>Encrypts a 16-hex-digit block under key; the result block.</summary>
    public string EncryptData(int keyIndex, string key, string checkValue, string data) {
        return Text(17,
                    result => Native.ornDataEncryption(keyIndex, key, checkValue, data, result));
    }

    /// <summary>The terminal's MAC over data (up to 51200 characters); keyMode 1 or 2.</summary>
    public string CalculateMac(int keyIndex, int keyMode, string key, string checkValue,
                               string data) {
        return Text(17, mac => Native.ornXmacCalculationAsciiVarMode(keyIndex, keyMode, key,
                                                                     checkValue, data, mac));
    }

    public bool VerifyMac(int keyIndex, int keyMode, string key, string checkValue,
                          string expectedMac, string data) {
        int match;
        OrnException.Check(Native.ornXmacVerificationAsciiVarMode(
            keyIndex, keyMode, key, checkValue, expectedMac, data, out match));
        return match == 1;
    }

    public string CalculateBinaryMac(int keyIndex, int keyMode, string key, string checkValue,
                                     byte[] data) {
        return Text(17, mac => Native.ornBinaryMacCalculation(keyIndex, keyMode, key, checkValue,
                                                              data, data.Length, mac));
    }

    // ---- EMV ------------------------------------------------------------------------------

    /// <summary>Opens a session with terminal application appName; its data arrives as
    /// EmvData.</summary>
    public void OpenEmvSession(string appName) {
        OrnEmvSessionCallback callback = (subType, data, length) => {
            try {
                byte[] bytes = Bytes(data, length);  // valid during the call only
                Raise(EmvData, new EmvDataEventArgs(appName, subType, bytes));
            } catch {
                // Nothing may unwind into the library's thread.
            }
        };
        Hold(callback);
        int result = Native.ornEmvOpenSession(appName, callback);
        if (result != 0) {
            Release(callback);
            throw new OrnException(result);
        }
    }

    /// <summary>Closes appName's session. Its callback stays held until the link closes: the
    /// library may be calling it right now.</summary>
    public void CloseEmvSession(string appName) {
        OrnException.Check(Native.ornEmvCloseSession(appName));
    }

    public bool EmvSessionIsOpen(string appName) {
        int result = Native.ornEmvSessionIsOpen(appName);
        if (result < 0) throw new OrnException(result);
        return result == 1;
    }

    public string EmvAppVersion(string appName) {
        return Text(6, version => Native.ornEmvGetAppVersion(appName, version));
    }

    /// <summary>Sends data to appName's session; completes once the terminal
    /// acknowledged.</summary>
    public Task EmvSendAsync(string appName, byte[] data) {
        ThrowIfClosed();
        return Task.Run(() =>
                            OrnException.Check(Native.ornEmvSendAsync(appName, data, data.Length)));
    }

    // ---- Discovery ------------------------------------------------------------------------

    public static IList<ComPort> FindComPorts() {
        var records = new OrnComPortInfo[32];
        int found = Native.ornFindComPortsEx(records, records.Length);
        if (found < 0) throw new OrnException(found);
        var ports = new List<ComPort>();
        for (int i = 0; i < Math.Min(found, records.Length); ++i)
            ports.Add(new ComPort { Name = records[i].PortName, Kind = records[i].kind,
                                    ProductId = records[i].ProductId });
        return ports;
    }

    public static IList<HidTerminal> FindUsbHidTerminals() {
        var records = new OrnUsbHidDeviceInfo[16];
        int found = Native.ornFindUsbHidDevice(records, records.Length);
        if (found < 0) throw new OrnException(found);
        var terminals = new List<HidTerminal>();
        for (int i = 0; i < found; ++i)
            terminals.Add(new HidTerminal { DevicePath = records[i].DevicePath,
                                            ProductId = records[i].ProductId });
        return terminals;
    }

    // ---- Requests -------------------------------------------------------------------------

    /// <summary>The shape of every Req command: the callback made for this request alone is
    /// held while the library may call it, and the command is sent from a worker so that the
    /// caller never waits for the terminal's acknowledgement.</summary>
    Task<T> Request<T, TCallback>(RequestFamily family, TimeSpan? timeLimit,
                                  CancellationToken token,
                                  Func<PendingRequest<T>, TCallback> callbackFor,
                                  Func<TCallback, int> send)
        where TCallback : class {
        ThrowIfClosed();
        var request = new PendingRequest<T>(this, family, timeLimit, token);
        if (token.IsCancellationRequested) {
            request.End(Native.ORN_ERR_CANCELED_BY_USER_ERROR);
            return request.Task;
        }
        TCallback callback = callbackFor(request);
        request.Callback = (Delegate)(object)callback;
        lock (held) {
            held.Add(request);
            pending.Add(request);
        }
        Task.Run(() => {
            int result;
            try {
                result = send(callback);
            } catch (Exception e) {
                Release(request);
                request.Fail(e);
                return;
            }
            if (result == 0) {
                request.Arm();
            } else {
                // Refused: the library will not call back.
                Release(request);
                request.End(result);
            }
        });
        return request.Task;
    }

    internal void Release(object callbackHolder) {
        lock (held) {
            held.Remove(callbackHolder);
            var request = callbackHolder as IPendingRequest;
            if (request != null) pending.Remove(request);
        }
    }

    void Hold(object callbackHolder) {
        lock (held) held.Add(callbackHolder);
    }

    /// <summary>Ends every pending task with code; their callbacks stay held.</summary>
    void EndPending(int code) {
        List<IPendingRequest> ending;
        lock (held) {
            ending = new List<IPendingRequest>(pending);
            pending.Clear();
        }
        foreach (var request in ending) request.End(code);
    }

    /// <summary>Sends the library's cancel for family from a worker. The library then ends the
    /// request (with ORN_ERR_CANCELED_BY_USER_ERROR as a rule); should it not within
    /// CancelGrace, the task ends anyway and the callback stays held.</summary>
    internal void CancelOnTerminal(RequestFamily family, IPendingRequest request) {
        Task.Run(async () => {
            switch (family) {
                case RequestFamily.CardReader:
                    Native.ornCancelMsrCommand();
                    break;
                case RequestFamily.SmartCard:
                    Native.ornSmartCardCancel();
                    break;
                case RequestFamily.Pin:
                    Native.ornPinEntryCancel();
                    break;
                default:
                    Native.ornCancel();
                    break;
            }
            await Task.Delay(CancelGrace);
            request.End(Native.ORN_ERR_CANCELED_BY_USER_ERROR);
        });
    }

    void ThrowIfClosed() {
        if (IsClosed) throw new OrnException(Native.ORN_ERR_COMM_PORT_NOT_OPEN);
    }

    // ---- Library events -------------------------------------------------------------------

    static void Forward(Action<Terminal> deliver) {
        try {
            var terminal = Volatile.Read(ref current);
            if (terminal != null) deliver(terminal);
        } catch {
            // Nothing may unwind into the library's thread.
        }
    }

    /// <summary>Hands an event to its handlers on the callback queue, each handler on its
    /// own: one that throws is reported through CallbackFailed and the others still run.</summary>
    void Raise<TArgs>(EventHandler<TArgs> handlers, TArgs args) {
        if (handlers == null) return;
        foreach (var handler in handlers.GetInvocationList())
            events.Post(() => ((EventHandler<TArgs>)handler)(this, args));
    }

    void Raise(EventHandler handlers, EventArgs args) {
        if (handlers == null) return;
        foreach (var handler in handlers.GetInvocationList())
            events.Post(() => ((EventHandler)handler)(this, args));
    }

    void OnPowerUp() {
        Raise(PowerUp, EventArgs.Empty);
    }

    void OnConnectionState(int state) {
        // A link that ends without Close is a USB terminal pulled out: its requests end now,
        // with the error the library gives them.
        if (state == (int)ConnectionState.Closed && !IsClosed)
            EndPending(Native.ORN_ERR_DEVICE_USB_DISCONNECTED);
        Raise(ConnectionStateChanged, new ConnectionStateEventArgs((ConnectionState)state));
    }

    // ---- Helpers --------------------------------------------------------------------------

    static string Text(int size, Func<StringBuilder, int> call) {
        var text = new StringBuilder(size);
        OrnException.Check(call(text));
        return text.ToString();
    }

    static byte[] Bytes(IntPtr data, int length) {
        var bytes = new byte[Math.Max(length, 0)];
        if (data != IntPtr.Zero && length > 0)
            System.Runtime.InteropServices.Marshal.Copy(data, bytes, 0, length);
        return bytes;
    }
}
}
