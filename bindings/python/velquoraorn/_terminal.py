"""The Pythonic layer over the C API: a Terminal that opens and closes the link, methods that
return typed results and raise OrnError, the ...Req commands as futures.

Threads. The library calls back on its own threads, with buffers valid only during the call:
each callback here copies what it needs, queues the rest and returns at once. One dispatcher
thread per Terminal then completes futures and runs event handlers, in the order the library
called. A ...Req command blocks until the terminal acknowledges it, so the binding sends them
from a worker thread and hands the caller its future at once.
"""
import asyncio
import collections
import concurrent.futures
import ctypes
import datetime
import itertools
import logging
import queue
import threading
import time

from . import _native

_log = logging.getLogger("velquoraorn")

ENCODING = "cp1252"  # the terminal's display text

NO_ERROR = 0
COMM_PORT_NOT_OPEN = -1
CANCELED_BY_USER = -5
UNKNOWN_ERROR = -7
INVALID_PARAMETER = -18

LOGGER_OFF, LOGGER_SEVERE, LOGGER_INFO, LOGGER_FINE, LOGGER_ON = range(5)
_LINK_MONITOR_OFF = -0x80000000

# A callback object may be released only once the library's thread has left it, which is a
# moment after the Python function returned. Retired callbacks are kept this long.
_RETIRE_SECONDS = 2.0


def _lib():
    return _native.load()


def _enc(text):
    return None if text is None else text.encode(ENCODING)


def _dec(data):
    return data.decode(ENCODING, errors="replace")


def _text_at(pointer):
    """Terminated library text a callback received (empty for null)."""
    return _dec(ctypes.string_at(pointer)) if pointer else ""


def _bytes_at(pointer, length):
    return ctypes.string_at(pointer, length) if pointer and length > 0 else b""


def error_name(code):
    """The library's name of a result code ("ORN_ERR_API_TIMEOUT", ...)."""
    return _dec(_lib().ornGetErrorString(code))


class OrnError(Exception):
    """A result other than success: code is the library's result (negative ORN_ERR_* codes,
    positive values the terminal's status), name its text."""

    def __init__(self, code, name=None):
        self.code = code
        self.name = name if name is not None else error_name(code)
        super().__init__(f"{self.name} ({code})")


def _check(code):
    if code != 0:
        raise OrnError(code)
    return code


def version():
    """The library's version text, "1.23"."""
    return _dec(_lib().ornGetVersion())


# ---- Results ---------------------------------------------------------------------------------

Swipe = collections.namedtuple("Swipe", "track1_status track1 track2_status track2")
DisplaySwipe = collections.namedtuple("DisplaySwipe", "track1 track2 source")
Selection = collections.namedtuple("Selection", "position data")
DukptPin = collections.namedtuple("DukptPin", "pin_block ksn")
Debit = collections.namedtuple("Debit", "values code pin_block second_text first_text")
CardAtr = collections.namedtuple("CardAtr", "card_type atr")
CardAnswer = collections.namedtuple("CardAnswer", "status_bytes data")
ComPort = collections.namedtuple("ComPort", "name kind product_id")
HidDevice = collections.namedtuple("HidDevice", "path product_id")


# ---- Discovery (needs no open link) ----------------------------------------------------------

def find_com_ports(limit=32):
    """The COM ports, in ascending number: name, kind (0 not USB, 1 another vendor's USB port,
    2 the maker's) and the USB product id of the maker's ports."""
    records = (_native.ornComPortInfo * limit)()
    found = _lib().ornFindComPortsEx(records, limit)
    if found < 0:
        raise OrnError(found)
    return [ComPort(_dec(r.portName), r.kind, _dec(r.productId) if r.kind == 2 else "")
            for r in records[:min(found, limit)]]


def find_usb_hid_devices(limit=16):
    """The maker's USB HID terminals; the first is the one "USBHID" opens."""
    records = (_native.ornUsbHidDeviceInfo * limit)()
    found = _lib().ornFindUsbHidDevice(records, limit)
    if found < 0:
        raise OrnError(found)
    return [HidDevice(_dec(r.devicePath), _dec(r.productId)) for r in records[:found]]


def is_usb_com_port(port, maker_only=False):
    """True when port is a USB COM port (of the terminal's maker only, with maker_only)."""
    answer = ctypes.c_int32(0)
    call = _lib().ornIsVelquoraUsbComPort if maker_only else _lib().ornIsUsbComPort
    _check(call(_enc(port), ctypes.byref(answer)))
    return answer.value == 1


# ---- Futures and events ----------------------------------------------------------------------

class ReqFuture(concurrent.futures.Future):
    """The outcome of a ...Req command. cancel() ends the future as cancelled and, once the
    request went out, asks the library to cancel that kind of operation (without waiting for
    the terminal). Awaiting it from asyncio works directly, and cancelling the awaiting task
    cancels the command."""

    def __init__(self, cancel_operation=None):
        super().__init__()
        self._cancel_operation = cancel_operation
        self._sent = False
        self._cancelling = False
        self._send_lock = threading.Lock()

    def _mark_sent(self):
        """False when cancelled before it went out (the request is then not sent)."""
        with self._send_lock:
            self._sent = not (self._cancelling or self.done())
            return self._sent

    def _cancel_in_library(self):
        if self._cancel_operation is not None:
            self._cancel_operation()

    def cancel(self):
        with self._send_lock:
            if self.done():
                return False
            self._cancelling = True
            sent = self._sent
        if not super().cancel():  # the outcome came meanwhile
            return False
        if sent:
            self._cancel_in_library()
        return True

    def __await__(self):
        return asyncio.wrap_future(self).__await__()


class Event:
    """Handlers of one kind of terminal event, run on the Terminal's dispatcher thread:
    terminal.connection_state += handler."""

    def __init__(self):
        self._handlers = []

    def __iadd__(self, handler):
        self._handlers.append(handler)
        return self

    def __isub__(self, handler):
        self._handlers.remove(handler)
        return self

    def _fire(self, *args):
        for handler in list(self._handlers):
            try:
                handler(*args)
            except Exception:
                _log.exception("event handler %r failed", handler)


class EmvSession:
    """An EMV session with one terminal application; its data goes to on_data(sub_type,
    data) on the dispatcher thread. Sub-type 4 ends the session."""

    def __init__(self, terminal, app_name):
        self._terminal = terminal
        self.app_name = app_name

    def send(self, data):
        """Sends bytes and waits for the terminal's acknowledgement."""
        _check(_lib().ornEmvSendAsync(_enc(self.app_name), bytes(data), len(data)))

    @property
    def is_open(self):
        return _lib().ornEmvSessionIsOpen(_enc(self.app_name)) == 1

    def close(self):
        self._terminal._close_emv_session(self.app_name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- The terminal ----------------------------------------------------------------------------

class Terminal:
    """The link to the terminal. The library holds one link per process.

        with Terminal("COM7") as terminal:       # or "USBHID", "AUTO"
            terminal.display("Hello")

    Raises OrnError when the port cannot be opened, and OrnError(1) when no terminal answers.
    """

    def __init__(self, port="AUTO", log_file=None, log_level=LOGGER_OFF, link_monitor=True,
                 legacy=False, log_key=None, log_size_limit=None):
        """log_file: None no log, "stdout"/"stderr", an absolute path, else a name beside the
        executable; log_key: 16 or 32 hex digits to encrypt the log; log_size_limit: bytes
        (1,000,000 .. 1,000,000,000). link_monitor=False switches the idle link check off.
        legacy opens as ornInitLegacy does."""
        self._lib = _lib()
        if log_key is not None:
            _check(self._lib.ornSetLogKey(_enc(log_key)))
        if log_size_limit is not None and self._lib.ornSetLogFileSizeLimit(log_size_limit) != 1:
            raise OrnError(INVALID_PARAMETER)
        self.power_up = Event()  # handler()
        self.connection_state = Event()  # handler(state): 0 OK, 1 disconnected, 2 pending, ...
        self._lock = threading.Lock()
        self._closed = False
        self._pending = {}  # token -> (future, callback object)
        self._retired = collections.deque()  # (time, callback object)
        self._emv = {}  # application name -> callback object
        self._tokens = itertools.count(1)
        self._jobs = queue.SimpleQueue()
        self._sends = queue.SimpleQueue()
        self._dispatcher = threading.Thread(target=self._dispatch, name="orn-dispatch",
                                            daemon=True)
        self._sender = threading.Thread(target=self._send_loop, name="orn-send", daemon=True)
        self._canceller = concurrent.futures.ThreadPoolExecutor(1, "orn-cancel")
        self._on_power_up = _native.ornPowerUpCallback(
            lambda: self._jobs.put(self.power_up._fire))
        self._on_state = _native.ornConnectionStateCallback(
            lambda state: self._jobs.put(lambda: self.connection_state._fire(state)))
        level = log_level if link_monitor else log_level | _LINK_MONITOR_OFF
        init = self._lib.ornInitLegacy if legacy else self._lib.ornInit
        port_name, log_name = _enc(port), _enc(log_file)
        code = init(port_name, log_name, level)
        if code != 0:  # nothing of ours is open (1: the library closed the port again itself)
            self._closed = True
            self._canceller.shutdown()
            raise OrnError(code, "no terminal answered" if code == 1 else None)
        # Registered once the link is ours: a refused open leaves an open link's handlers be.
        self._dispatcher.start()
        self._lib.ornSetPowerUpCallback(self._on_power_up)
        self._lib.ornSetConnectionStateCallback(self._on_state)
        self._sender.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the link. Every pending future has ended when this returns: those the library
        answered with its result, the rest with OrnError(-1)."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._sends.put(None)
        self._finish()

    def _finish(self):
        self._lib.ornClose()  # calls back every waiting request before it returns
        self._sender.join()
        self._lib.ornSetPowerUpCallback(_native.ornPowerUpCallback())  # a null pointer
        self._lib.ornSetConnectionStateCallback(_native.ornConnectionStateCallback())
        self._jobs.put(None)
        if threading.current_thread() is self._dispatcher:  # closed from a handler
            self._dispatch()  # runs what is queued, then its own loop ends on the next None
            self._jobs.put(None)
        else:
            self._dispatcher.join()
        self._canceller.shutdown(wait=True)
        with self._lock:
            left, self._pending = self._pending, {}
            self._emv.clear()
            self._retired.clear()  # the library calls nothing of this link any more
        for future, _ in left.values():
            self._end(future, COMM_PORT_NOT_OPEN, None)

    @property
    def closed(self):
        return self._closed

    # ---- machinery ---------------------------------------------------------------------------

    def _dispatch(self):
        while self._run(self._jobs.get()):
            pass

    @staticmethod
    def _run(job):
        if job is None:
            return False
        try:
            job()
        except Exception:
            _log.exception("dispatching a terminal callback failed")
        return True

    @staticmethod
    def _end(future, status, value):
        try:
            if status == 0:
                future.set_result(value)
            else:
                future.set_exception(OrnError(status))
        except concurrent.futures.InvalidStateError:
            pass  # cancelled by the caller meanwhile

    def _settle(self, token, status, value):
        with self._lock:
            entry = self._pending.pop(token, None)
            if entry is not None:
                self._retired.append((time.monotonic(), entry[1]))
        if entry is not None:
            self._end(entry[0], status, value)

    def _request(self, function, callback_type, decode, args, cancel=None):
        """Queues the ...Req function with args and a callback of callback_type; decode turns the
        callback's arguments (on the library's thread) into (status, result)."""
        cancel_operation = None
        if cancel is not None:
            cancel_operation = lambda: self._canceller.submit(cancel)  # noqa: E731
        future = ReqFuture(cancel_operation)
        token = next(self._tokens)

        def called(*values):
            try:
                status, result = decode(*values)
            except Exception:
                _log.exception("decoding a %s callback failed", function)
                status, result = UNKNOWN_ERROR, None
            self._jobs.put(lambda: self._settle(token, status, result))

        callback = callback_type(called)
        with self._lock:
            if self._closed:
                raise OrnError(COMM_PORT_NOT_OPEN)
            now = time.monotonic()
            while self._retired and now - self._retired[0][0] > _RETIRE_SECONDS:
                self._retired.popleft()
            self._pending[token] = (future, callback)
        self._sends.put((token, function, args, callback))
        return future

    def _send_loop(self):
        while self._send(self._sends.get()):
            pass

    def _send(self, item):
        if item is None:
            return False
        token, function, args, callback = item
        with self._lock:
            entry = self._pending.get(token)
        if entry is None or not entry[0]._mark_sent():  # cancelled before it went out
            self._settle(token, CANCELED_BY_USER, None)
            return True
        code = COMM_PORT_NOT_OPEN if self._closed else getattr(self._lib, function)(*args,
                                                                                     callback)
        if code != 0:  # refused: the callback never comes
            self._jobs.put(lambda: self._settle(token, code, None))
        elif entry[0]._cancelling:  # cancelled while the terminal took it: cancel once more
            entry[0]._cancel_in_library()
        return True

    # ---- session -----------------------------------------------------------------------------

    @property
    def port(self):
        """The port name the link was opened with ("COM7", "Velquora 0001" after "AUTO" over USB
        HID)."""
        name = self._lib.ornGetComPort()
        return _dec(name) if name is not None else None

    def ping(self):
        """True when the link is open and the terminal connected (sends nothing)."""
        return self._lib.ornPing() == 0

    def connection_status(self):
        """0 OK, 1 disconnected, 2 pending, 3 power-up detected, -1 not open."""
        return self._lib.ornCheckConnectionStatus()

    def reopen(self):
        """Reopens the same port after it vanished and came back."""
        _check(self._lib.ornReOpenPort())

    def is_busy(self, device):
        code = self._lib.ornIsBusy(device)
        if code < 0:
            raise OrnError(code)
        return code == 1

    # ---- basic commands ----------------------------------------------------------------------

    def beep(self, code=0):
        _check(self._lib.ornBeep(code))

    def cancel(self):
        """Cancels the terminal's current operation; pending display, keypad and card-reader
        requests end with OrnError(-5)."""
        _check(self._lib.ornCancel())

    def reboot(self):
        _check(self._lib.ornReboot())

    def return_to_idle(self, screen=0):
        _check(self._lib.ornReturnToIdle(screen))

    def generic_command(self, message_id, data="", size=4096):
        """Sends a message and returns the terminal's whole answer text."""
        response = ctypes.create_string_buffer(size)
        length = self._lib.ornGenericAsciiCommand(_enc(message_id), _enc(data), response, size)
        if length < 0:
            raise OrnError(length)
        return _dec(response.value)

    def register_prompt(self, index, prompt, tail=""):
        _check(self._lib.ornPromptRegister(index, _enc(prompt), _enc(tail)))

    # ---- device management -------------------------------------------------------------------

    def _text(self, function, size):
        text = ctypes.create_string_buffer(size)
        _check(getattr(self._lib, function)(text))
        return _dec(text.value)

    def device_info(self):
        return self._text("ornDeviceInfo", 28)

    def device_type(self):
        return self._text("ornDeviceInfoType", 6)

    def versions(self):
        return self._text("ornDeviceInfoAllVersions", 4096)

    def serial_number(self):
        return self._text("ornGetSerialNumber", 17)

    def get_date_time(self):
        fields = [ctypes.c_int() for _ in range(6)]
        _check(self._lib.ornGetDateTime(*[ctypes.byref(f) for f in fields]))
        return datetime.datetime(*[f.value for f in fields])

    def set_date_time(self, moment):
        _check(self._lib.ornSetDateTime(moment.year, moment.month, moment.day, moment.hour,
                                        moment.minute, moment.second))

    # ---- display and keypad ------------------------------------------------------------------

    @staticmethod
    def _lines(lines, count=4, missing=None):
        if len(lines) > count:
            raise ValueError(f"at most {count} lines")
        return [_enc(line) for line in lines] + [missing] * (count - len(lines))

    def display(self, *lines):
        """Shows up to four lines (None leaves a line as it is)."""
        code = self._lib.ornDisplay(*self._lines(lines))
        if code not in (0, 1):  # 1: every line None, nothing sent
            raise OrnError(code)

    def clear_display(self, line=None):
        _check(self._lib.ornClearDisplay() if line is None else self._lib.ornClearDisplayLine(line))

    def function_key(self, *lines):
        """Shows the lines and returns the function key pressed."""
        key = ctypes.create_string_buffer(1)
        _check(self._lib.ornFunctionKeyPromptWait(*self._lines(lines), key))
        return _dec(key.raw)

    def function_key_async(self, *lines):
        return self._request("ornFunctionKeyPromptReq", _native.ornFkeyCallback, _key_result,
                             self._lines(lines), self._lib.ornCancel)

    def confirm_amount(self, mode, amount, text=None):
        """Asks the cardholder to confirm amount; returns the key pressed."""
        key = ctypes.create_string_buffer(1)
        _check(self._lib.ornAmountConfirmationWait(mode, amount, _enc(text), key))
        return _dec(key.raw)

    def confirm_amount_async(self, mode, amount, text=None):
        return self._request("ornAmountConfirmationReq", _native.ornFkeyCallback, _key_result,
                             [mode, amount, _enc(text)], self._lib.ornCancel)

    def read_input(self, mode, entry_type, option=0, prompt=None, prompt_index=255,
                   max_length=0):
        """Shows prompt (or the stored prompt prompt_index) and returns the keypad entry."""
        length = ctypes.c_int(max_length)
        text = ctypes.create_string_buffer(max_length + 1 if max_length else 33)
        _check(self._lib.ornDisplayAndWaitForInputWait(mode, entry_type, option, _enc(prompt),
                                                       prompt_index, ctypes.byref(length), text))
        return _dec(text.value)

    def read_input_async(self, mode, entry_type, option=0, prompt=None, prompt_index=255,
                         max_length=0):
        return self._request("ornDisplayAndWaitForInputReq", _native.ornInputCallback,
                             _input_result,
                             [mode, entry_type, option, _enc(prompt), prompt_index, max_length],
                             self._lib.ornCancel)

    # ---- scroll list -------------------------------------------------------------------------

    def _scroll_args(self, items, titles, options):
        size = 4096
        text = ctypes.create_string_buffer(size)
        for item in items:
            before = len(text.value)
            if isinstance(item, tuple):
                self._lib.ornAddListItemWithData(text, _enc(item[0]), item[1], size)
            else:
                self._lib.ornAddListItem(text, _enc(item), size)
            if len(text.value) == before:
                raise ValueError(f"list item {item!r} was not added")
        option1, option2, flag1, display_time, flag2, option3 = options
        return [0, option1, option2, flag1, display_time, flag2, option3,
                *self._lines(titles, missing=b""), text.value]

    def scroll_list(self, items, titles=(), option1=1, option2=1, flag1=0, display_time=0,
                    flag2=0, option3=1):
        """Lets the cardholder pick one of items (texts, or (text, data) pairs); returns the
        position picked and the item's data (-1 when it carries none)."""
        selection, data = ctypes.c_int(), ctypes.c_int()
        args = self._scroll_args(items, titles,
                                 (option1, option2, flag1, display_time, flag2, option3))
        _check(self._lib.ornScrollListWait(*args, ctypes.byref(selection), ctypes.byref(data)))
        return Selection(selection.value, data.value)

    def scroll_list_async(self, items, titles=(), option1=1, option2=1, flag1=0, display_time=0,
                          flag2=0, option3=1):
        args = self._scroll_args(items, titles,
                                 (option1, option2, flag1, display_time, flag2, option3))
        return self._request("ornScrollListReq", _native.ornScrollCallback,
                             lambda status, position, data: (status, Selection(position, data)),
                             args, self._lib.ornCancel)

    # ---- magnetic stripe and smart card ------------------------------------------------------

    def swipe(self, tracks=3, timeout_ms=0):
        """Waits for a swipe; returns each track's status byte and raw bytes."""
        status1, length1, status2, length2 = (ctypes.c_int() for _ in range(4))
        track1, track2 = ctypes.create_string_buffer(255), ctypes.create_string_buffer(255)
        _check(self._lib.ornSwipeMagStripeCardWait(tracks, timeout_ms, ctypes.byref(status1),
                                                   ctypes.byref(length1), track1,
                                                   ctypes.byref(status2), ctypes.byref(length2),
                                                   track2))
        return Swipe(status1.value, track1.raw[:max(length1.value, 0)], status2.value,
                     track2.raw[:max(length2.value, 0)])

    def swipe_async(self, tracks=3, timeout_ms=0):
        return self._request("ornSwipeMagStripeCardReq", _native.ornMsrCallback, _swipe_result,
                             [tracks, timeout_ms], self._lib.ornCancelMsrCommand)

    def swipe_with_display_async(self, *lines, tracks=3, timeout_s=0, options=(0, 0, 0),
                                 or_card=False):
        """Shows the lines and waits for a swipe (or, with or_card, a smart card: its result has
        source '%'). The result's tracks are texts."""
        function = "ornMsrScInsertWithDisplayReq" if or_card else "ornMsrWithDisplayHandlingReq"
        return self._request(function, _native.ornMsrDisplayCallback, _display_swipe_result,
                             [tracks, timeout_s, *options, *self._lines(lines)],
                             self._lib.ornCancel)

    def cancel_swipe(self):
        _check(self._lib.ornCancelMsrCommand())

    def card_present(self):
        """1 a card is in the reader, 0 none, 2 an EMV session is open."""
        code = self._lib.ornIsCardPresent()
        if code < 0:
            raise OrnError(code)
        return code

    def wait_for_card(self, timeout_ms=0):
        _check(self._lib.ornWaitForSmartCardInsertionWait(timeout_ms))

    def wait_for_card_async(self, timeout_ms=0):
        return self._request("ornWaitForSmartCardInsertionReq", _native.ornSmartCardCallback,
                             lambda status: (status, None), [timeout_ms],
                             self._lib.ornSmartCardCancel)

    def power_up_card(self):
        """Powers the card up; returns its type byte and answer to reset."""
        card_type, length = ctypes.c_ubyte(), ctypes.c_int()
        atr = (ctypes.c_ubyte * 512)()
        _check(self._lib.ornSmartCardPowerUp(ctypes.byref(card_type), atr, ctypes.byref(length)))
        return CardAtr(card_type.value, bytes(atr[:length.value]))

    def wait_card_and_power_up_async(self, timeout_ms=0):
        return self._request("ornWaitCardAndPowerUpAtrReq", _native.ornSmartCardAtrCallback,
                             lambda status, kind, data, length: (
                                 status, CardAtr(kind[0], _bytes_at(data, length))),
                             [timeout_ms], self._lib.ornSmartCardCancel)

    def card_command(self, command):
        """Sends command bytes to the card; returns its three status bytes and its answer."""
        data = (ctypes.c_ubyte * 512)(*command)
        length = ctypes.c_int(len(command))
        status = [ctypes.c_ubyte() for _ in range(3)]
        _check(self._lib.ornAsynchCardExecution(data, ctypes.byref(length),
                                                *[ctypes.byref(s) for s in status]))
        return CardAnswer(bytes(s.value for s in status), bytes(data[:length.value]))

    def power_off_card(self):
        _check(self._lib.ornSmartCardPowerOff())

    # ---- PIN entry and debit -----------------------------------------------------------------

    def master_session_pin(self, account, session_key, key_index=0, check_value=None,
                           selector=0, timeout=0, option=0, prompt=None):
        """PIN entry under a session key; returns the 16-character PIN block."""
        pin_block = ctypes.create_string_buffer(17)
        _check(self._lib.ornMasterSessionPinEntryWait(selector, timeout, option, key_index,
                                                      _enc(account), _enc(session_key),
                                                      _enc(check_value), _enc(prompt),
                                                      pin_block))
        return _dec(pin_block.value)

    def master_session_pin_async(self, account, session_key, key_index=0, check_value=None,
                                 selector=0, timeout=0, option=0, prompt=None):
        return self._request("ornMasterSessionPinEntryReq", _native.ornPinCallback,
                             lambda status, block: (status, _text_at(block)),
                             [selector, timeout, option, key_index, _enc(account),
                              _enc(session_key), _enc(check_value), _enc(prompt)],
                             self._lib.ornPinEntryCancel)

    def dukpt_pin(self, account, selector=0, timeout=0, option=0, prompt=None):
        """DUKPT PIN entry; returns the PIN block and key serial number."""
        pin_block, ksn = ctypes.create_string_buffer(17), ctypes.create_string_buffer(21)
        _check(self._lib.ornDukptPinWait(selector, timeout, option, _enc(account), _enc(prompt),
                                         pin_block, ksn))
        return DukptPin(_dec(pin_block.value), _dec(ksn.value))

    def dukpt_pin_async(self, account, selector=0, timeout=0, option=0, prompt=None):
        return self._request("ornDukptPinReq", _native.ornDukptCallback,
                             lambda status, block, ksn: (
                                 status, DukptPin(_text_at(block), _text_at(ksn))),
                             [selector, timeout, option, _enc(account), _enc(prompt)],
                             self._lib.ornPinEntryCancel)

    def cancel_pin_entry(self):
        _check(self._lib.ornPinEntryCancel())

    def debit_init(self, *fields):
        """Loads the debit sequence's screens: the 31 fields in the terminal's order."""
        _check(self._lib.ornDebitSequenceInit(
            *[_enc(f) if isinstance(f, str) or f is None else f for f in fields]))

    def debit_async(self, amount, account, key, key_mode=1, key_index=0, check_value=None,
                    entry_mode=0, pin_timeout=6, stage_seconds=30, prompt=None):
        """Starts the debit sequence for amount (in cents); the future's Debit carries the
        terminal's values, account type code, PIN block and texts."""
        return self._request("ornDebitSequenceStartReq", _native.ornDebitCallback, _debit_result,
                             [0, stage_seconds, entry_mode, 0, stage_seconds, pin_timeout,
                              _enc(prompt), amount, 0, 0, key_index, key_mode, _enc(key),
                              _enc(check_value), _enc(account)],
                             self._lib.ornPinEntryCancel)

    # ---- key management, encryption, MAC -----------------------------------------------------

    def load_key(self, key_index, key_type, key, check_value=None, extra=None, final=False):
        _check(self._lib.ornLoadMasterSessionKey(key_index, key_type, _enc(key),
                                                 _enc(check_value), _enc(extra), int(final)))

    def key_check(self, request, key_index=0):
        """The terminal's diagnostic value of a key (six characters)."""
        value = ctypes.create_string_buffer(7)
        _check(self._lib.ornDiagnosticKeyRequest(_enc(request), key_index, value))
        return _dec(value.value)

    def encrypt(self, data, key_index, key, check_value=None):
        """Encrypts a 16-hex-digit block; returns the 16-digit result."""
        result = ctypes.create_string_buffer(17)
        _check(self._lib.ornDataEncryption(key_index, _enc(key), _enc(check_value), _enc(data),
                                           result))
        return _dec(result.value)

    _MAC_MODES = {  # mode -> (calculation, verification, takes a key mode)
        "ascii": ("ornMacCalculationAsciiMode", "ornMacVerificationAsciiMode", False),
        "hex": ("ornMacCalculationHexMode", "ornMacVerificationHexMode", False),
        "ascii-var": ("ornMacCalculationAsciiVarMode", "ornMacVerificationAsciiVarMode", True),
        "xmac": ("ornXmacCalculationAsciiVarMode", "ornXmacVerificationAsciiVarMode", True),
    }

    def _mac_head(self, mode, key_index, key_mode, key, check_value, verify):
        calculation, verification, keyed = self._MAC_MODES[mode]
        head = [key_index, key_mode] if keyed else [key_index]
        return getattr(self._lib, verification if verify else calculation), head + [
            _enc(key), _enc(check_value)]

    def mac(self, data, key, key_index=0, check_value=None, mode="ascii", key_mode=1):
        """The terminal's MAC over data (a text; mode "ascii", "hex", "ascii-var", "xmac", or
        bytes for the binary form)."""
        mac = ctypes.create_string_buffer(17)
        if isinstance(data, (bytes, bytearray)):
            _check(self._lib.ornBinaryMacCalculation(key_index, key_mode, _enc(key),
                                                     _enc(check_value), bytes(data), len(data),
                                                     mac))
        else:
            function, head = self._mac_head(mode, key_index, key_mode, key, check_value, False)
            _check(function(*head, _enc(data), mac))
        return _dec(mac.value)

    def verify_mac(self, expected, data, key, key_index=0, check_value=None, mode="ascii",
                   key_mode=1):
        """True when the terminal finds expected to be data's MAC."""
        result = ctypes.c_int32(0)
        if isinstance(data, (bytes, bytearray)):
            _check(self._lib.ornBinaryMacVerification(key_index, key_mode, _enc(key),
                                                      _enc(check_value), _enc(expected),
                                                      bytes(data), len(data),
                                                      ctypes.byref(result)))
        else:
            function, head = self._mac_head(mode, key_index, key_mode, key, check_value, True)
            _check(function(*head, _enc(expected), _enc(data), ctypes.byref(result)))
        return result.value == 1

    # ---- EMV ---------------------------------------------------------------------------------

    def open_emv_session(self, app_name, on_data):
        """Opens a session with terminal application app_name; on_data(sub_type, data) gets
        its data on the dispatcher thread."""

        def called(sub_type, data, length):
            payload = _bytes_at(data, length)
            self._jobs.put(lambda: on_data(sub_type, payload))
            if sub_type == 4:
                self._jobs.put(lambda: self._retire_emv(app_name))

        callback = _native.ornEmvSessionCallback(called)
        with self._lock:
            self._emv[app_name] = callback  # held before the library can call it
        code = self._lib.ornEmvOpenSession(_enc(app_name), callback)
        if code != 0:
            self._retire_emv(app_name)
            raise OrnError(code)
        return EmvSession(self, app_name)

    def _retire_emv(self, app_name):
        with self._lock:
            callback = self._emv.pop(app_name, None)
            if callback is not None:
                self._retired.append((time.monotonic(), callback))

    def _close_emv_session(self, app_name):
        code = self._lib.ornEmvCloseSession(_enc(app_name))
        self._retire_emv(app_name)
        _check(code)

    def emv_app_version(self, app_name):
        version_text = ctypes.create_string_buffer(6)
        _check(self._lib.ornEmvGetAppVersion(_enc(app_name), version_text))
        return _dec(version_text.value)


# ---- Callback decoders (run on the library's thread, while its buffers are valid) ------------

def _key_result(status, key):
    return status, _dec(key)


def _input_result(status, length, text):
    return status, _text_at(text)


def _swipe_result(status, status1, length1, track1, status2, length2, track2):
    return status, Swipe(status1, _bytes_at(track1, length1), status2,
                         _bytes_at(track2, length2))


def _display_swipe_result(status, track1, track2, flag):
    return status, DisplaySwipe(_text_at(track1), _text_at(track2),
                                _dec(flag) if flag != b"\0" else "")


def _debit_result(status, first, second, third, code, pin_block, second_text, first_text):
    return status, Debit((first, second, third), _dec(code), _text_at(pin_block),
                         _text_at(second_text), _text_at(first_text))
