#!/usr/bin/env python3
"""A checkout with asyncio: the cardholder swipes and enters the PIN, and the debit runs until
the terminal approves it (a declined debit is tried again, at most three times).

    checkout.py [PORT]        a terminal on PORT ("COM7", "USBHID", "AUTO"; default AUTO)
    checkout.py --simulate    the terminal simulator plays the cardholder and the bank with
                              examples/checkout.ornsim (ornsim found by ORNSIM or the PATH)

Exits 0 once a debit was approved.
"""
import asyncio
import os
import sys

import velquoraorn
from velquoraorn import OrnError

PIN_KEY = "0123456789ABCDEF"  # the session key the PIN block comes under
AMOUNT_CENTS = 2495


async def checkout(terminal):
    terminal.display("Total     24.95", "Swipe your card")
    card = await terminal.swipe_async(tracks=2, timeout_ms=60000)
    account = card.track2.split(b"=")[0].decode()
    print(f"card swiped: account ending {account[-4:]}")

    pin_block = await terminal.master_session_pin_async(account, PIN_KEY, timeout=6)
    print(f"PIN entered: PIN block {pin_block}")

    for attempt in range(1, 4):
        try:
            debit = await terminal.debit_async(AMOUNT_CENTS, account, PIN_KEY)
        except OrnError as error:
            print(f"debit {attempt}: declined, status {error.code}")
            continue
        print(f"debit {attempt}: approved ({debit.first_text})")
        terminal.display("Approved", "Thank you")
        return True
    terminal.display("Not approved", "Thank you")
    return False


def run(port):
    with velquoraorn.Terminal(port) as terminal:
        print(f"open {terminal.port}: library {velquoraorn.version()}")
        return asyncio.run(checkout(terminal))


def main(argv):
    if argv[1:] == ["--simulate"]:
        from velquoraorn.sim import Simulator

        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                              "examples", "checkout.ornsim")
        with Simulator(extra_args=["--script", script]) as sim:
            return run(sim.port)
    return run(argv[1] if len(argv) > 1 else "AUTO")


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv) else 1)
