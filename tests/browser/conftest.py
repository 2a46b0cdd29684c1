"""The simulator's face in headless Chromium: a simulator serving its page (--http 0), the
library open on it through the Python binding, and one browser for the whole run.

ORNSIM names ornsim and VELQUORAORN_LIBRARY the library (scripts/test-browser.sh sets both)."""
import os

import pytest
from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from velquoraorn import Terminal
from velquoraorn.sim import Simulator

DEADLINE = 30  # seconds for any page condition


def pytest_addoption(parser):
    parser.addoption("--screenshot", default=None,
                     help="save the page in the middle of the checkout to this PNG file")


@pytest.fixture(scope="session")
def browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1100,900"):
        options.add_argument(arg)
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    driver = webdriver.Chrome(service=Service(os.environ.get("CHROMEDRIVER",
                                                             "/usr/bin/chromedriver")),
                              options=options)
    yield driver
    driver.quit()


class Face:
    """The page of one simulator in the browser."""

    def __init__(self, driver, sim):
        self.driver, self.sim = driver, sim
        driver.get(sim.page)
        self.until(lambda: self.text("link") not in ("", "-"), "the first state")

    def until(self, condition, what):
        # The page redraws the display on every change: a line read mid-redraw is read again.
        return WebDriverWait(self.driver, DEADLINE, ignored_exceptions=(
            StaleElementReferenceException,)).until(lambda _: condition(), what)

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def display(self):
        # Read in one go: the page redraws the lines on every change.
        return self.driver.execute_script(
            'return [...document.querySelectorAll("#display .line")].map((e) => e.textContent)')

    def shows(self, text):
        self.until(lambda: any(text in line for line in self.display()),
                   f"the display showing {text!r}")

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()

    def keys(self, *keys):
        for key in keys:
            self.driver.find_element(By.CSS_SELECTOR, f'#keypad [data-key="{key}"]').click()


@pytest.fixture
def sim():
    with Simulator(extra_args=["--http", "0"]) as simulator:
        simulator.command("hand-input on")
        yield simulator


@pytest.fixture
def face(browser, sim):
    return Face(browser, sim)


@pytest.fixture
def terminal(sim):
    with Terminal(sim.port) as opened:
        yield opened
