"""The library's C API, declared exactly: every export with its argument and result types, the
callback types and the two discovery records. check_header.py holds this table against
include/velquoraorn.h.

The library is loaded on first use, from the first of: the file VELQUORAORN_LIBRARY names, a copy
next to this package, the usual name on this system (libvelquoraorn.so.1 / VelquoraORN.dll).
Every function and callback uses the C calling convention, on Windows too (ctypes.CDLL).
"""
import ctypes
import os
import sys
import threading
from ctypes import (
    CFUNCTYPE as _CALLBACK,
    POINTER as _P,
    Structure,
    c_char,
    c_char_p,
    c_int,
    c_int32,
    c_long,
    c_short,
    c_ubyte,
    c_uint,
    c_uint32,
    c_ulong,
)

_buf = _P(c_char)  # a caller's buffer, or library text handed to a callback
_int_p = _P(c_int)
_int32_p = _P(c_int32)
_bytes_p = _P(c_ubyte)


class ornComPortInfo(Structure):
    _fields_ = [
        ("portName", c_char * 8),
        ("kind", c_int32),
        ("productId", c_char * 8),
        ("available", c_int32),
    ]


class ornUsbHidDeviceInfo(Structure):
    _fields_ = [("devicePath", c_char * 261), ("productId", c_char * 5)]


assert ctypes.sizeof(ornComPortInfo) == 24 and ctypes.sizeof(ornUsbHidDeviceInfo) == 266

ornFkeyCallback = _CALLBACK(None, c_int, c_char)
ornInputCallback = _CALLBACK(None, c_int, c_int, _buf)
ornDecryptDisplayCallback = _CALLBACK(None, c_int)
ornDukptCallback = _CALLBACK(None, c_int, _buf, _buf)
ornPinCallback = _CALLBACK(None, c_int, _buf)
ornDebitCallback = _CALLBACK(None, c_int, c_uint32, c_uint32, c_uint32, c_char, _buf, _buf, _buf)
ornScrollCallback = _CALLBACK(None, c_int, c_int, c_int)
ornMsrCallback = _CALLBACK(None, c_int, c_int, c_int, _buf, c_int, c_int, _buf)
ornMsrDisplayCallback = _CALLBACK(None, c_int, _buf, _buf, c_char)
ornSmartCardCallback = _CALLBACK(None, c_int)
ornSmartCardAtrCallback = _CALLBACK(None, c_int, c_char, _bytes_p, c_int)
ornPowerUpCallback = _CALLBACK(None)
ornConnectionStateCallback = _CALLBACK(None, c_int)
ornEmvSessionCallback = _CALLBACK(None, c_int, _bytes_p, c_int)

CALLBACKS = {
    "ornFkeyCallback": ornFkeyCallback,
    "ornInputCallback": ornInputCallback,
    "ornDecryptDisplayCallback": ornDecryptDisplayCallback,
    "ornDukptCallback": ornDukptCallback,
    "ornPinCallback": ornPinCallback,
    "ornDebitCallback": ornDebitCallback,
    "ornScrollCallback": ornScrollCallback,
    "ornMsrCallback": ornMsrCallback,
    "ornMsrDisplayCallback": ornMsrDisplayCallback,
    "ornSmartCardCallback": ornSmartCardCallback,
    "ornSmartCardAtrCallback": ornSmartCardAtrCallback,
    "ornPowerUpCallback": ornPowerUpCallback,
    "ornConnectionStateCallback": ornConnectionStateCallback,
    "ornEmvSessionCallback": ornEmvSessionCallback,
}

EXPORTS = {
    "ornInit": (c_int, [c_char_p, c_char_p, c_int32]),
    "ornInitLegacy": (c_int, [c_char_p, c_char_p, c_int32]),
    "ornOpen": (c_int, [c_char_p]),
    "ornClose": (None, []),
    "ornReOpenPort": (c_int, []),
    "ornGetComPort": (c_char_p, []),
    "ornGetVersion": (c_char_p, []),
    "ornGetVersionDWORD": (c_uint32, []),
    "ornGetErrorString": (c_char_p, [c_int]),
    "ornPing": (c_int, []),
    "ornCheckConnectionStatus": (c_int, []),
    "ornIsBusy": (c_int, [c_int]),
    "ornSetPowerUpCallback": (None, [ornPowerUpCallback]),
    "ornSetConnectionStateCallback": (None, [ornConnectionStateCallback]),
    "ornInputTimeoutAutoCancel": (c_int, [c_int]),
    "ornSetDTR_CheckDSR": (c_int, [c_char_p]),
    "ornFindComPorts": (c_int, [_buf, c_int]),
    "ornFindComPortsEx": (c_int, [_P(ornComPortInfo), c_int]),
    "ornIsUsbComPort": (c_int, [c_char_p, _int32_p]),
    "ornIsVelquoraUsbComPort": (c_int, [c_char_p, _int32_p]),
    "ornFindUsbHidDevice": (c_int, [_P(ornUsbHidDeviceInfo), c_int]),
    "ornSetPinpadCommunicationPort": (c_int, [c_int]),
    "ornChangeLoggingState": (c_int, [c_int32]),
    "ornSetLogKey": (c_int, [c_char_p]),
    "ornSetLogFileSizeLimit": (c_int, [c_int32]),
    "ornSetLogSensitiveData": (c_int, [c_int]),
    "ornBeep": (c_int, [c_int]),
    "ornCancel": (c_int, []),
    "ornReboot": (c_int, []),
    "ornReturnToIdle": (c_int, [c_int]),
    "ornReturnToIdleBase36": (c_int, [c_char_p]),
    "ornGenericAsciiCommand": (c_int, [c_char_p, c_char_p, _buf, c_int]),
    "ornPromptRegister": (c_int, [c_int, c_char_p, c_char_p]),
    "ornGetDateTimeString": (c_int, [c_int, _buf]),
    "ornGetDateTime": (c_int, [_int_p, _int_p, _int_p, _int_p, _int_p, _int_p]),
    "ornSetDateTime": (c_int, [c_int, c_int, c_int, c_int, c_int, c_int]),
    "ornApplicationUpdate": (c_int, []),
    "ornDeviceInfo": (c_int, [_buf]),
    "ornDeviceInfoDetailed": (c_int, [_buf]),
    "ornDeviceInfoType": (c_int, [_buf]),
    "ornDeviceInfoAllVersions": (c_int, [_buf]),
    "ornGetSerialNumber": (c_int, [_buf]),
    "ornDisplay": (c_int, [c_char_p, c_char_p, c_char_p, c_char_p]),
    "ornFunctionKeyPromptWait": (c_int, [c_char_p, c_char_p, c_char_p, c_char_p, _buf]),
    "ornFunctionKeyPromptReq": (c_int, [c_char_p, c_char_p, c_char_p, c_char_p, ornFkeyCallback]),
    "ornClearDisplay": (c_int, []),
    "ornClearDisplayLine": (c_int, [c_int]),
    "ornAmountConfirmationWait": (c_int, [c_int, c_ulong, c_char_p, _buf]),
    "ornAmountConfirmationReq": (c_int, [c_int, c_ulong, c_char_p, ornFkeyCallback]),
    "ornKeyboardCheck": (c_int, []),
    "ornDisplayAndWaitForInputWait": (c_int, [c_int, c_int, c_int, c_char_p, c_int, _int_p, _buf]),
    "ornDisplayAndWaitForInputReq": (c_int, [
        c_int, c_int, c_int, c_char_p, c_int, c_int, ornInputCallback
    ]),
    "ornClearTextEntryWithStoredPromptWait": (c_int, [c_int, c_int, c_int, c_int, _int_p, _buf]),
    "ornClearTextEntryWithStoredPromptReq": (c_int, [
        c_int, c_int, c_int, c_int, c_int, ornInputCallback
    ]),
    "ornAddListItem": (None, [_buf, c_char_p, c_uint]),
    "ornAddListItemWithData": (None, [_buf, c_char_p, c_int, c_uint]),
    "ornScrollListReq": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p,
        c_char_p, ornScrollCallback
    ]),
    "ornScrollListWait": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p,
        c_char_p, _int_p, _int_p
    ]),
    "ornReadBlock": (c_int, [_buf]),
    "ornWriteBlock": (c_int, [c_char_p]),
    "ornReadDataTable": (c_int, [_buf]),
    "ornWriteDataTable": (c_int, [c_char_p]),
    "ornDeleteDataTable": (c_int, [c_int]),
    "ornResetDataTable": (c_int, [c_int]),
    "ornDataTableRecordsInquiry": (c_int, [_int_p, _int_p]),
    "ornDataTableInquiry": (c_int, [_int_p]),
    "ornLoadMasterSessionKey": (c_int, [c_int, c_int, c_char_p, c_char_p, c_char_p, c_int]),
    "ornDiagnosticKeyRequest": (c_int, [c_char, c_int, _buf]),
    "ornDiagnosticKeyRequestKeyType": (c_int, [c_char, _buf]),
    "ornDataEncryption": (c_int, [c_int, c_char_p, c_char_p, c_char_p, _buf]),
    "ornDataEncryptionCipher": (c_int, [c_int, c_int, c_char_p, c_char_p, c_char_p, _buf]),
    "ornDecryptAndDisplayReq": (c_int, [
        c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p,
        ornDecryptDisplayCallback
    ]),
    "ornDecryptAndDisplayWait": (c_int, [
        c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p
    ]),
    "ornDecryptAndDisplayInAsciiReq": (c_int, [
        c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, ornDecryptDisplayCallback
    ]),
    "ornDecryptAndDisplayInAsciiWait": (c_int, [
        c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p
    ]),
    "ornMacCalculationAsciiMode": (c_int, [c_int, c_char_p, c_char_p, c_char_p, _buf]),
    "ornMacCalculationHexMode": (c_int, [c_int, c_char_p, c_char_p, c_char_p, _buf]),
    "ornMacVerificationAsciiMode": (c_int, [
        c_int, c_char_p, c_char_p, c_char_p, c_char_p, _int32_p
    ]),
    "ornMacVerificationHexMode": (c_int, [c_int, c_char_p, c_char_p, c_char_p, c_char_p, _int32_p]),
    "ornMacCalculationAsciiVarMode": (c_int, [c_int, c_int, c_char_p, c_char_p, c_char_p, _buf]),
    "ornMacVerificationAsciiVarMode": (c_int, [
        c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, _int32_p
    ]),
    "ornXmacCalculationAsciiVarMode": (c_int, [c_int, c_int, c_char_p, c_char_p, c_char_p, _buf]),
    "ornXmacVerificationAsciiVarMode": (c_int, [
        c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, _int32_p
    ]),
    "ornBinaryMacCalculation": (c_int, [c_int, c_int, c_char_p, c_char_p, c_char_p, c_int, _buf]),
    "ornBinaryMacVerification": (c_int, [
        c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, c_int, _int32_p
    ]),
    "ornDukptPinReq": (c_int, [c_int, c_int, c_int, c_char_p, c_char_p, ornDukptCallback]),
    "ornDukptPinWait": (c_int, [c_int, c_int, c_int, c_char_p, c_char_p, _buf, _buf]),
    "ornMasterSessionPinEntryReq": (c_int, [
        c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, ornPinCallback
    ]),
    "ornMasterSessionPinEntryWait": (c_int, [
        c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, _buf
    ]),
    "ornMSPinWithDisplayReq": (c_int, [
        c_int, c_int, c_int, c_char_p, c_int, c_char_p, c_char_p, c_char_p, c_int, c_int, c_int,
        c_char_p, c_char_p, c_char_p, c_int, ornPinCallback
    ]),
    "ornMSPinWithDisplayWait": (c_int, [
        c_int, c_int, c_int, c_char_p, c_int, c_char_p, c_char_p, c_char_p, c_int, c_int, c_int,
        c_char_p, c_char_p, c_char_p, c_int, _buf
    ]),
    "ornMSPinWithDisplayExReq": (c_int, [
        c_int, c_int, c_int, c_char_p, c_int, c_char_p, c_char_p, c_int, c_int, c_char_p, c_int,
        c_int, c_int, c_char_p, c_char_p, c_char_p, c_int, ornPinCallback
    ]),
    "ornMSPinWithDisplayExWait": (c_int, [
        c_int, c_int, c_int, c_char_p, c_int, c_char_p, c_char_p, c_int, c_int, c_char_p, c_int,
        c_int, c_int, c_char_p, c_char_p, c_char_p, c_int, _buf
    ]),
    "ornPinEntryCancel": (c_int, []),
    "ornDebitSequenceInit": (c_int, [
        c_int, c_char_p, c_char_p, c_int, c_char_p, c_char_p, c_int, c_int, c_char_p, c_int,
        c_char_p, c_int, c_int, c_char_p, c_int, c_char_p, c_int, c_char_p, c_char_p, c_int,
        c_char_p, c_char_p, c_int, c_int, c_char_p, c_int, c_char_p, c_int, c_char_p, c_char_p,
        c_char_p
    ]),
    "ornDebitSequenceStartReq": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_int, c_char_p, c_int, c_int, c_int, c_int, c_int,
        c_char_p, c_char_p, c_char_p, ornDebitCallback
    ]),
    "ornEmvOpenSession": (c_int, [c_char_p, ornEmvSessionCallback]),
    "ornEmvCloseSession": (c_int, [c_char_p]),
    "ornEmvGetAppVersion": (c_int, [c_char_p, _buf]),
    "ornEmvRegisterZeth": (c_int, [c_char_p]),
    "ornEmvSendAsync": (c_int, [c_char_p, c_char_p, c_int]),
    "ornEmvSessionIsOpen": (c_int, [c_char_p]),
    "ornEmvWin32Short2uint16": (c_int, [c_short, _bytes_p]),
    "ornEmvWin32Long2uint32": (c_int, [c_long, _bytes_p]),
    "ornSwipeMagStripeCardReq": (c_int, [c_int, c_int, ornMsrCallback]),
    "ornSwipeMagStripeCardWait": (c_int, [
        c_int, c_int, _int_p, _int_p, _buf, _int_p, _int_p, _buf
    ]),
    "ornCancelMsrCommand": (c_int, []),
    "ornMsrWithDisplayHandlingReq": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p,
        ornMsrDisplayCallback
    ]),
    "ornMsrWithDisplayHandlingWait": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, _buf, _buf, _buf
    ]),
    "ornMsrScInsertWithDisplayReq": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p,
        ornMsrDisplayCallback
    ]),
    "ornMsrScInsertWithDisplayWait": (c_int, [
        c_int, c_int, c_int, c_int, c_int, c_char_p, c_char_p, c_char_p, c_char_p, _buf, _buf, _buf
    ]),
    "ornSmartCardPowerUp": (c_int, [_bytes_p, _bytes_p, _int_p]),
    "ornSmartCardCompareAtr": (c_int, [_bytes_p]),
    "ornSmartCardPowerOff": (c_int, []),
    "ornSmartCardStatus": (c_int, []),
    "ornSmartCardCancel": (c_int, []),
    "ornAsynchCardExecution": (c_int, [_bytes_p, _int_p, _bytes_p, _bytes_p, _bytes_p]),
    "ornIsCardPresent": (c_int, []),
    "ornWaitForSmartCardInsertionReq": (c_int, [c_int, ornSmartCardCallback]),
    "ornWaitForSmartCardInsertionWait": (c_int, [c_int]),
    "ornWaitForSmartCardRemovalReq": (c_int, [c_int, ornSmartCardCallback]),
    "ornWaitForSmartCardRemovalWait": (c_int, [c_int]),
    "ornWaitCardAndPowerUpAtrReq": (c_int, [c_int, ornSmartCardAtrCallback]),
    "ornWaitCardAndPowerUpAtrWait": (c_int, [c_int, _bytes_p, _bytes_p, _int_p]),
    "ornSmartCardPowerOffAndRemovalReq": (c_int, [c_int, ornSmartCardCallback]),
    "ornSmartCardPowerOffAndRemovalWait": (c_int, [c_int]),
    "PurifyIsRunning": (c_int, []),
}

LIBRARY_NAMES = ("VelquoraORN.dll",) if sys.platform == "win32" else ("libvelquoraorn.so.1",)

_lock = threading.Lock()
_library = None


def _candidates():
    named = os.environ.get("VELQUORAORN_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    beside = [os.path.join(here, name) for name in LIBRARY_NAMES]
    return [path for path in beside if os.path.exists(path)] + list(LIBRARY_NAMES)


def load():
    """The loaded library with every export declared; loads it on the first call."""
    global _library
    with _lock:
        if _library is None:
            errors = []
            for candidate in _candidates():
                try:
                    library = ctypes.CDLL(candidate)
                    break
                except OSError as error:
                    errors.append(f"{candidate}: {error}")
            else:
                raise OSError("VelquoraORN library not found (set VELQUORAORN_LIBRARY): "
                              + "; ".join(errors))
            for name, (result, arguments) in EXPORTS.items():
                function = getattr(library, name)
                function.restype = result
                function.argtypes = arguments
            _library = library
        return _library
