"""The terminal simulator for tests: starts ornsim on a port folder of its own, drives it through
its control socket and stops it.

    with Simulator() as sim:                # sets ORN_PORT_DIR (and the USB HID roots) here
        with Terminal(sim.port) as terminal:
            sim.pin("2468")
            ...

ornsim is found by the ornsim argument, the ORNSIM environment variable, or on the PATH.
"""
import os
import queue
import shutil
import socket
import subprocess
import tempfile
import threading

START_SECONDS = 30.0
STOP_SECONDS = 10.0


class SimError(Exception):
    """ornsim refused a command or could not start."""


class Simulator:
    """One ornsim process. hid=True serves the terminal as a USB HID device (open "USBHID");
    extra_args go to ornsim as they are (["--keypad-delay", "500"], ...)."""

    def __init__(self, ornsim=None, hid=False, port="COM7", extra_args=()):
        self.executable = ornsim or os.environ.get("ORNSIM") or shutil.which("ornsim")
        if not self.executable:
            raise SimError("ornsim not found (set ORNSIM)")
        self.port = "USBHID" if hid else port
        self.env = {}
        self._hid = hid
        self._serial_port = port
        self._extra = list(extra_args)
        self._process = None
        self.page = None
        self._dir = None
        self._socket = None
        self._reply = None
        self._lock = threading.Lock()
        self._saved_env = {}

    # ---- life cycle --------------------------------------------------------------------------

    def start(self):
        self._dir = tempfile.mkdtemp(prefix="ornsim-")
        args = [self.executable, "--dir", self._dir, "--control", "0", "--until-stdin-eof"]
        args += ["--hid"] if self._hid else ["--port", self._serial_port]
        self._process = subprocess.Popen(args + self._extra, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                         text=True)
        lines = queue.SimpleQueue()
        # Read stdout to its end so that ornsim never blocks on a full pipe.
        threading.Thread(target=self._read, args=(lines,), daemon=True).start()
        control = None
        while control is None:
            try:
                line = lines.get(timeout=START_SECONDS)
            except queue.Empty:
                line = None
            if line is None:
                self.stop()
                raise SimError("ornsim did not start")
            if line.startswith("export "):
                for pair in line[len("export "):].split():
                    name, _, value = pair.partition("=")
                    self.env[name] = value
            elif line.startswith("# page "):  # with --http: the terminal's face
                self.page = line.split()[2]
            elif line.startswith("# control "):
                control = int(line.split()[2])
        self._socket = socket.create_connection(("127.0.0.1", control), timeout=START_SECONDS)
        self._reply = self._socket.makefile("r", encoding="ascii", newline="\n")
        return self

    def _read(self, lines):
        for line in self._process.stdout:
            lines.put(line.strip())
        lines.put(None)

    def stop(self):
        if self._socket is not None:
            self._reply.close()
            self._socket.close()
            self._socket = None
        if self._process is not None:
            self._process.stdin.close()  # --until-stdin-eof: ornsim ends
            try:
                self._process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._process = None
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def __enter__(self):
        self.start()
        for name, value in self.env.items():
            self._saved_env[name] = os.environ.get(name)
            os.environ[name] = value
        return self

    def __exit__(self, *exc):
        self.stop()
        for name, value in self._saved_env.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value

    # ---- control -----------------------------------------------------------------------------

    def command(self, line):
        """Runs one ornsim command; returns the value after "ok" ("" when none)."""
        with self._lock:
            self._socket.sendall((line + "\n").encode("ascii"))
            reply = self._reply.readline().strip()
        if reply == "ok" or reply.startswith("ok "):
            return reply[3:]
        raise SimError(f"{line}: {reply or 'no reply'}")

    # The cardholder.
    def swipe(self, track2=None, track1=""):
        return self.command(f"swipe {track2} {track1}".strip() if track2 else "swipe")

    def auto_swipe(self, on):
        self.command("auto-swipe " + ("on" if on else "off"))

    def insert(self):
        self.command("insert")

    def remove(self):
        self.command("remove")

    def keys(self, text):
        self.command("keys " + text)

    def pin(self, digits):
        self.command("pin " + digits)

    def select(self, position):
        self.command(f"select {position}")

    def fkey(self, key):
        self.command("fkey " + key)

    def press_cancel(self):
        self.command("cancel")

    # The terminal and the link.
    def status(self, digit, message_id=None):
        """The next text answer (to message_id) carries status digit."""
        self.command(f"status {digit} {message_id}" if message_id else f"status {digit}")

    def no_answer(self):
        self.command("no-answer")

    def keypad_delay(self, ms):
        self.command(f"keypad-delay {ms}")

    def power_cycle(self):
        self.command("power-cycle")

    def unplug(self):
        self.command("unplug")

    def replug(self):
        self.command("replug")

    def fault(self, name, value=None):
        """A link fault: "nak", "drop-ack", "withhold-acks", "delay-ack", "delay-answer",
        "bad-lrc", "silent"."""
        self.command(name if value is None else f"{name} {value}")

    def frames(self, message_id):
        """How many message_id frames the terminal has received."""
        return int(self.command("frames " + message_id))

    def wait_for(self, message_id, ms=30000):
        """Waits until the host sends the next message_id frame."""
        self.command(f"wait-for {message_id} {ms}")
