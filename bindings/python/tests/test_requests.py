# The ...Req commands as futures: awaited from asyncio, cancelled, ended by a close, their
# callbacks alive while the library holds them; and the terminal's events.
import asyncio
import gc
import threading
import time

import pytest

from velquoraorn import DukptPin, OrnError, Selection, Terminal

ACCOUNT = "4000001234567899"
KEY16 = "0123456789ABCDEF"
DEADLINE = 20.0


def wait_until(condition, seconds=DEADLINE):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


# (the cardholder's part, the request, a check of its result)
REQUESTS = [
    (lambda s: s.fkey("4"), lambda t: t.function_key_async("Approve?"), lambda r: r == "4"),
    (lambda s: s.keys("77"), lambda t: t.read_input_async(2, 1, 10, "Tip"), lambda r: r == "77"),
    (lambda s: s.select(1), lambda t: t.scroll_list_async(["A", ("B", 5)], ("Pick",)),
     lambda r: r == Selection(1, -1)),
    (None, lambda t: t.swipe_async(2, 10000), lambda r: r.track2.startswith(b"4111")),
    (None, lambda t: t.swipe_with_display_async("Swipe card", tracks=2),
     lambda r: r.track2.startswith("4111")),
    (lambda s: s.pin("2468"), lambda t: t.master_session_pin_async(ACCOUNT, KEY16),
     lambda r: len(r) == 16),
    (None, lambda t: t.dukpt_pin_async(ACCOUNT),
     lambda r: isinstance(r, DukptPin) and len(r.ksn) == 20),
    (lambda s: s.insert(), lambda t: t.wait_card_and_power_up_async(10000),
     lambda r: r.atr[:1] == b";"),
    (None, lambda t: t.debit_async(2495, ACCOUNT, KEY16), lambda r: r.first_text != ""),
]


@pytest.mark.parametrize("cardholder, request_, check", REQUESTS)
def test_request_awaited_from_asyncio(orn_sim, orn_terminal, cardholder, request_, check):
    if cardholder:
        cardholder(orn_sim)

    async def main():
        return await asyncio.wait_for(request_(orn_terminal), DEADLINE)

    assert check(asyncio.run(main()))


def test_cancel_reaches_the_library(orn_sim, orn_terminal):
    orn_sim.auto_swipe(False)
    future = orn_terminal.swipe_async(2)
    assert wait_until(lambda: orn_terminal.is_busy(1))
    assert future.cancel() and future.cancelled()
    assert wait_until(lambda: not orn_terminal.is_busy(1))


def test_asyncio_timeout_cancels_the_request(orn_sim, orn_terminal):
    orn_sim.keypad_delay(60000)

    async def main():
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(orn_terminal.function_key_async("Approve?"), 0.5)

    asyncio.run(main())
    assert wait_until(lambda: not orn_terminal.is_busy(0))


def test_close_ends_every_pending_request(orn_sim, orn_terminal):
    orn_sim.auto_swipe(False)
    orn_sim.keypad_delay(60000)
    futures = [orn_terminal.swipe_async(2), orn_terminal.function_key_async("Wait"),
               orn_terminal.dukpt_pin_async(ACCOUNT)]
    # An application's handler that takes its time holds up the completions behind it.
    futures[0].add_done_callback(lambda f: time.sleep(0.5))
    assert wait_until(lambda: orn_terminal.is_busy(1))
    # One the terminal never acknowledges, and one queued behind it.
    orn_sim.fault("withhold-acks", 10)
    futures += [orn_terminal.wait_for_card_async(), orn_terminal.swipe_async(1)]
    orn_terminal.close()
    assert all(f.done() for f in futures)
    assert all(isinstance(f.exception(0), OrnError) for f in futures)
    with pytest.raises(OrnError) as raised:
        orn_terminal.swipe_async(2)
    assert raised.value.code == -1


def test_callback_survives_garbage_collection(orn_sim, orn_terminal):
    orn_sim.keypad_delay(300)
    orn_sim.fkey("9")
    future = orn_terminal.function_key_async("Approve?")
    for _ in range(5):
        gc.collect()
    assert future.result(DEADLINE) == "9"


def test_events_power_up_and_connection_state(orn_sim, orn_terminal):
    power_ups, states = threading.Event(), []
    orn_terminal.power_up += power_ups.set
    orn_terminal.connection_state += states.append
    with pytest.raises(OrnError):  # refused: the open link keeps its handlers
        Terminal(orn_sim.port)
    orn_sim.power_cycle()
    assert power_ups.wait(DEADLINE)
    assert wait_until(lambda: states and states[-1] == 0)
    orn_terminal.close()
    assert states[-1] == -1
