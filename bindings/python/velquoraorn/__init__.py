"""Python binding of the VelquoraORN PIN pad / card terminal library (ctypes, no dependencies).

    import velquoraorn
    with velquoraorn.Terminal("COM7") as terminal:
        terminal.display("Total     24.95", "Swipe your card")
        card = terminal.swipe(tracks=2, timeout_ms=60000)
        key = await terminal.function_key_async("Approve?")   # in a coroutine

Every export of the C API is declared in velquoraorn._native (load() returns the library).
"""
from ._native import load
from ._terminal import (
    CardAnswer,
    CardAtr,
    ComPort,
    Debit,
    DisplaySwipe,
    DukptPin,
    EmvSession,
    Event,
    HidDevice,
    LOGGER_FINE,
    LOGGER_INFO,
    LOGGER_OFF,
    LOGGER_ON,
    LOGGER_SEVERE,
    OrnError,
    ReqFuture,
    Selection,
    Swipe,
    Terminal,
    error_name,
    find_com_ports,
    find_usb_hid_devices,
    is_usb_com_port,
    version,
)

__version__ = "1.23"

__all__ = [
    "load", "CardAnswer", "CardAtr", "ComPort", "Debit", "DisplaySwipe", "DukptPin",
    "EmvSession", "Event", "HidDevice", "LOGGER_FINE", "LOGGER_INFO", "LOGGER_OFF", "LOGGER_ON",
    "LOGGER_SEVERE", "OrnError", "ReqFuture", "Selection", "Swipe", "Terminal", "error_name",
    "find_com_ports", "find_usb_hid_devices", "is_usb_com_port", "version",
]
