"""What the headless-Chromium tests share."""

from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


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
