# Each family's flow through the Pythonic layer against the simulator: what the cardholder does
# (through the control socket), what the application calls, what it gets back.
import datetime
import os
import re
import subprocess
import sys

import pytest

import velquoraorn
from velquoraorn import OrnError, Selection
from velquoraorn.sim import Simulator

ACCOUNT = "4000001234567899"
KEY16 = "0123456789ABCDEF"
TRACK2 = b"4111111111111111=3012101123456789"


def mac_round_trip(t, data, **options):
    mac = t.mac(data, key=KEY16, **options)
    return (re.fullmatch(r"[0-9A-F]{8}", mac) is not None,
            t.verify_mac(mac, data, key=KEY16, **options),
            t.verify_mac("00000000", data, key=KEY16, **options))


def emv_flow(t):
    received = []
    with t.open_emv_session("APP1TEST", lambda sub_type, data: received.append(data)) as s:
        s.send(b"\x01\x00\x02")
        opened = s.is_open
    return opened, s.is_open, t.emv_app_version("APP1TEST")


def date_time_flow(t):
    moment = datetime.datetime(2031, 5, 6, 7, 8, 9)
    t.set_date_time(moment)
    return abs((t.get_date_time() - moment).total_seconds()) < 5


# (family, the cardholder's part, the application's call, what it gets)
FLOWS = [
    ("session", None, lambda t: (t.port, t.ping(), t.connection_status(), velquoraorn.version()),
     ("COM7", True, 0, "1.23")),
    ("device", None, lambda t: (re.fullmatch(r"/\d{4}/\d{3}/\d{3}/\d{5}/\d\d/\d\d/\d",
                                             t.device_info()) is not None,
                                len(t.serial_number())), (True, 16)),
    ("date and time", None, date_time_flow, True),
    ("basic", None, lambda t: (t.beep(3), t.return_to_idle(), t.display("Total 24.95", None)),
     (None, None, None)),
    ("function key", lambda s: s.fkey("3"), lambda t: t.function_key("Approve?", "F1 yes"), "3"),
    ("amount", lambda s: s.fkey("1"), lambda t: t.confirm_amount(1, 2495, "EUR"), "1"),
    ("keypad", lambda s: s.keys("8642"), lambda t: t.read_input(2, 1, 10, "Tip", max_length=8),
     "8642"),
    ("scroll list", lambda s: s.select(2),
     lambda t: t.scroll_list(["Cheque", ("Savings", 7)], titles=("Account",)), Selection(2, 7)),
    ("swipe", None, lambda t: t.swipe(tracks=3, timeout_ms=10000).track2, TRACK2),
    ("insert", lambda s: (s.command("card-atr 3F9600"), s.insert()),
     lambda t: (t.card_present(), t.power_up_card().atr[:1]), (1, b"?")),
    ("master/session PIN", lambda s: s.pin("2468"),
     lambda t: re.fullmatch(r"[0-9A-F]{16}", t.master_session_pin(ACCOUNT, KEY16)) is not None,
     True),
    ("DUKPT PIN", None, lambda t: len(t.dukpt_pin(ACCOUNT).ksn), 20),
    ("key load", None, lambda t: (t.load_key(1, 0, KEY16), len(t.encrypt("0011223344556677", 1,
                                                                         KEY16))), (None, 16)),
    ("MAC text", None, lambda t: mac_round_trip(t, "ABCDEFGH"), (True, True, False)),
    ("MAC binary", None, lambda t: mac_round_trip(t, b"\x00\x01\x02 binary"), (True, True, False)),
    ("EMV", None, emv_flow, (True, False, "01.02")),
    ("discovery", None, lambda t: "COM7" in [p.name for p in velquoraorn.find_com_ports()], True),
]


@pytest.mark.parametrize("family, cardholder, call, expected", FLOWS, ids=[f[0] for f in FLOWS])
def test_flow(orn_sim, orn_terminal, family, cardholder, call, expected):
    if cardholder:
        cardholder(orn_sim)
    assert call(orn_terminal) == expected


# Results other than success: the code and the library's name of it.
ERRORS = [
    ("bad argument", lambda t, s: t.beep(99), -18, "ORN_ERR_INVALID_PARAMETER_IN_API_CALL"),
    ("second open", lambda t, s: velquoraorn.Terminal(s.port), -23,
     "ORN_ERR_OTHER_COM_ALREADY_OPEN"),
    ("terminal status", lambda t, s: (s.status(5), t.serial_number()), 5, None),
    ("cardholder cancel", lambda t, s: (s.press_cancel(), t.function_key("Approve?")), 2, None),
]


@pytest.mark.parametrize("what, call, code, name", ERRORS, ids=[e[0] for e in ERRORS])
def test_error(orn_sim, orn_terminal, what, call, code, name):
    with pytest.raises(OrnError) as raised:
        call(orn_terminal, orn_sim)
    assert raised.value.code == code
    assert raised.value.name == (name or velquoraorn.error_name(code))


def test_no_such_port(orn_sim):
    with pytest.raises(OrnError) as raised:
        velquoraorn.Terminal("COM9")
    assert raised.value.code == -21


def test_usb_hid_terminal_is_found_and_opened():
    with Simulator(hid=True) as sim:
        devices = velquoraorn.find_usb_hid_devices()
        with velquoraorn.Terminal(sim.port) as terminal:
            assert ([d.product_id for d in devices], terminal.ping()) == (["0001"], True)


def test_checkout_example_runs_to_approval():
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "checkout.py")
    run = subprocess.run([sys.executable, example, "--simulate"], capture_output=True,
                         text=True, timeout=120)
    assert (run.returncode, run.stdout.splitlines()[-1]) == (0, "debit 2: approved (APPROVED)")


@pytest.mark.parametrize("options, plain", [
    ({"log_level": velquoraorn.LOGGER_INFO}, True),
    ({"log_level": velquoraorn.LOGGER_INFO, "log_key": KEY16, "log_size_limit": 2000000}, False),
])
def test_log_options(orn_sim, tmp_path, options, plain):
    try:
        with velquoraorn.Terminal(orn_sim.port, log_file=str(tmp_path / "pos.log"),
                                  **options) as terminal:
            terminal.beep(1)
    finally:
        velquoraorn.load().ornSetLogKey(None)  # the key outlives the link
    written = b"".join(part.read_bytes() for part in tmp_path.glob("pos.log*"))
    assert written and (b"ornBeep" in written) == plain
