"""What the headless-Chromium tests share: their checks, the presses of
buttons that post a form, and a session of a browser against the server
under test."""

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def replaced(page):
    """A wait condition: the page's html element has left the document."""
    def gone(_):
        # Chromium may report the old node as no longer in the document
        # rather than stale: gone all the same.
        try:
            page.is_enabled()
            return False
        except WebDriverException:
            return True
    return gone


def submit(driver, button):
    """Clicks a button that posts its form and waits for the next page, so a
    read that follows never sees the old one."""
    page = driver.find_element(By.TAG_NAME, "html")
    button.click()
    try:
        WebDriverWait(driver, 10).until(replaced(page))
    except TimeoutException:
        pass


def press(driver, text):
    """Presses the button of this text (every button posts its form)."""
    submit(driver, driver.find_element(By.XPATH, f"//button[normalize-space(.)='{text}']"))


class Session:
    """Headless Chromium against a server process, as a `with` block around
    the steps: a Failure ends them with the page printed, and the browser and
    the server are stopped however they end. outcome() says and returns the
    test's exit status."""

    def __init__(self, server, name, stop_timeout):
        self.server = server
        self.name = name
        self.stop_timeout = stop_timeout
        self.driver = None
        self.failed = False
        self.status = None

    def start(self, scratch):
        """The browser, its profile in the scratch folder."""
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                         f"--user-data-dir={scratch}/profile"):
            options.add_argument(argument)
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        return self.driver

    def __enter__(self):
        return self

    def __exit__(self, kind, failure, trace):
        self.failed = isinstance(failure, Failure)
        try:
            if self.failed:
                print(f"FAILED: {failure}")
                if self.driver:
                    print(self.driver.page_source)
        finally:
            if self.driver:
                self.driver.quit()
            self.server.terminate()
            self.status = self.server.wait(timeout=self.stop_timeout)
        return self.failed

    def outcome(self):
        if self.failed:
            return 1
        if self.status != 0:
            print(f"FAILED: {self.name} ended with {self.status}")
            return 1
        print("passed")
        return 0
