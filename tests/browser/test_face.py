"""The terminal's face in a browser, driven as a person would: what the library shows appears
on the page, and what is clicked on the page reaches the library."""
import json
import os
import queue
import socket
import subprocess
import time
import urllib.error
import urllib.request

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from velquoraorn import Terminal
from velquoraorn.sim import SimError

ACCOUNT = "4000001234567899"
PIN_KEY = "0123456789ABCDEF"  # the checkout's session key


def checkout_program():
    return os.path.join(os.environ["ORN_BUILD"], "examples", "orn_checkout")


def test_checkout_on_the_page(face, sim, pytestconfig):
    sim.auto_swipe(False)
    checkout = subprocess.Popen([checkout_program(), sim.port], stdout=subprocess.PIPE,
                                text=True)
    try:
        face.shows("Swipe your card")
        assert face.display()[0].startswith("Total     24.95")
        Select(face.driver.find_element(By.ID, "card")).select_by_index(1)
        face.click("swipe")
        for debit in (False, True):  # the PIN entry, then the debit's own PIN
            face.until(lambda: face.driver.find_element(By.ID, "entry").get_attribute(
                "data-kind") == "pin", "a PIN entry")
            face.keys("2", "4", "6", "8")
            face.until(lambda: "****" in face.text("entry"), "the PIN's digits masked")
            if debit and pytestconfig.getoption("screenshot"):
                face.driver.save_screenshot(pytestconfig.getoption("screenshot"))
            face.keys("enter")
        face.shows("Approved")
        out, _ = checkout.communicate(timeout=60)
    finally:
        checkout.kill()
    assert checkout.returncode == 0, out
    typed = out.split("PIN block ")[1].split()[0]
    # The trace names the frames, the account masked as the log masks it, no PIN block.
    face.driver.find_element(By.ID, "trace-filter").send_keys("PIN entry")
    rows = [r.text for r in face.driver.find_elements(By.CSS_SELECTOR, "#trace tr")
            if r.is_displayed()]
    assert any("41. PIN entry" in r and "400000******7899" in r for r in rows), rows
    assert not [r for r in rows if ACCOUNT in r or typed in r], rows
    # The PIN typed on the page gives the PIN block the same PIN gives when scripted.
    sim.command("hand-input off")
    sim.pin("2468")
    with Terminal(sim.port) as terminal:
        assert terminal.master_session_pin(ACCOUNT, PIN_KEY) == typed


def test_keys_answer_the_prompt(face, terminal):
    asked = terminal.function_key_async("Approve?", "F2 for yes")
    face.shows("F2 for yes")
    face.keys("B")
    assert asked.result(timeout=30) == "B"
    entry = terminal.read_input_async(2, 1, 10, "Tip")
    face.until(lambda: face.driver.find_element(By.ID, "entry").get_attribute("data-kind")
               == "text", "a text entry")
    face.keys("4", "2", "enter")
    assert entry.result(timeout=30) == "42"
    # A scroll list is shown whole: its four title lines, its items, the selection.
    picked = terminal.scroll_list_async(["Tea", "Coffee"], titles=("Drinks", "", "Pick one"))
    face.until(lambda: [line.rstrip() for line in face.display()]
               == ["Drinks", "", "Pick one", "", "Tea", "Coffee"], "the scroll list")
    assert face.driver.find_element(By.CSS_SELECTOR, "#display .selected").text.rstrip() == "Tea"
    face.keys("2", "enter")
    assert picked.result(timeout=30).position == 2


def test_unplug_is_a_lost_link(face, sim, terminal):
    states = queue.SimpleQueue()
    terminal.connection_state += states.put
    face.until(lambda: face.text("link") == "connected", "the link connected")
    terminal.function_key_async("Unplug me")
    face.shows("Unplug me")
    face.click("unplug")
    face.until(lambda: face.text("link") == "unplugged", "the link unplugged")
    while states.get(timeout=30) != 1:  # disconnected
        pass
    face.click("replug")
    face.until(lambda: face.text("link") != "unplugged", "the terminal plugged in")
    with pytest.raises(SimError):  # the restarted terminal waits for no key
        sim.command("key B")


def post(sim, body, path="action", headers=()):
    request = urllib.request.Request(sim.page + path, data=body, method="POST",
                                     headers={"Content-Type": "application/json", **dict(headers)})
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, json.load(reply)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


JSON = {"Content-Type": "application/json"}


@pytest.mark.parametrize("body, status, error, headers, path", [
    (b'{"action": "exit"}', 400, "unknown action: exit", JSON, "action"),
    (b'{"action": ', 400, "the body is not a JSON object", JSON, "action"),
    (b'{"action": "key", "value": "Z"}', 422, "unknown key: Z", JSON, "action"),
    (b'{"action": "key", "value": "1\\nexit"}', 400, "the value must be printable text", JSON,
     "action"),
    (b"x" * 100000, 413, "the body is larger than 4096 bytes", JSON, "action"),
    # A page from elsewhere can post plain text without asking, or reach us by a rebound name.
    (b'{"action": "unplug"}', 415, "an action is sent as application/json",
     {"Content-Type": "text/plain"}, "action"),
    (b'{"action": "unplug"}', 403, "the page answers only to a loopback name",
     {"Host": "rebound.example:80"}, "action"),
    (b'{}', 404, "no such page: /\ufffd", JSON, "%FF"),  # not UTF-8: once ended the simulator
])
def test_bad_actions_are_refused(sim, body, status, error, headers, path):
    assert post(sim, body, path, headers) == (status, {"error": error})


def answer(connection):
    """What the server answered on the connection: all of it when it closes after answering."""
    data = connection.recv(4096)
    while not data.startswith(b"HTTP/1.1 200"):  # a refusal is answered whole, then closed
        more = connection.recv(4096)
        if not more:
            break
        data += more
    return data


@pytest.mark.parametrize("path, served, refused, error", [
    ("/events", 8, 4, "too many watchers (at most 8)"),
    # Every worker is held by a request still arriving: the rest are answered at once.
    ("/state", 40, 8, "the simulator is busy: it serves 40 connections at once; try again"),
])
def test_connections_beyond_the_limit_are_refused(sim, path, served, refused, error):
    host, port = sim.page.split("//")[1].strip("/").split(":")
    held = []
    try:
        for _ in range(served + refused):
            for s in held:  # each request keeps arriving, well within the server's read timeout
                s.sendall(b"X-Wait: 1\r\n")
            held.append(socket.create_connection((host, int(port)), timeout=10))
            held[-1].sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n".encode())
        for s in held:
            s.sendall(b"\r\n")
        answers = [answer(s) for s in held]
        heads = [a.split(b"\r\n")[0] for a in answers]
        assert heads.count(b"HTTP/1.1 200 OK") == served, heads
        refusals = [a for a in answers if a.startswith(b"HTTP/1.1 503 Service Unavailable")]
        assert len(refusals) == refused, heads
        assert json.loads(refusals[0].split(b"\r\n\r\n", 1)[1]) == {"error": error}
    finally:
        for s in held:
            s.close()
    # Serving again once the workers are let go (each frees itself a moment after it answered).
    deadline = time.monotonic() + 30
    while (reply := post(sim, b'{"action": "insert"}'))[0] == 503 and time.monotonic() < deadline:
        pass
    assert reply == (200, {"reply": "ok"})
