"""pytest fixtures on the simulator. In a conftest.py:

    pytest_plugins = ["velquoraorn.testing"]

    def test_beep(orn_terminal):
        orn_terminal.beep(3)

orn_sim is a running Simulator (with its environment set), orn_terminal a Terminal open on it.
"""
import pytest

from ._terminal import Terminal
from .sim import Simulator


@pytest.fixture
def orn_sim(monkeypatch):
    simulator = Simulator().start()
    for name, value in simulator.env.items():
        monkeypatch.setenv(name, value)
    yield simulator
    simulator.stop()


@pytest.fixture
def orn_terminal(orn_sim):
    with Terminal(orn_sim.port) as terminal:
        yield terminal
