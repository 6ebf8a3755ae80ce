#!/usr/bin/python3
"""vornconfig in headless Chromium: an administrator opens a node from the
tree, changes a time-out and applies it, keeps a child's own value, cancels
the Libraries dialog after adding an entry, clears a verification box in the
Options dialog, and presses OK; the registry file then holds exactly that.

Usage: browser_test.py VORNCONFIG"""

import os
import subprocess
import sys
import tempfile

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from browser_support import Session, check, press, replaced  # noqa: E402

PRODUCT = "SOFTWARE\\Vorn\\Vorn Tevrona NT"
CONFIG = PRODUCT + "\\Configuration"

BEFORE = f"""[{PRODUCT}]
Threads = dword:2

[{CONFIG}\\1\\ROOT]
globaltimeout = dword:120
libraries[] = c,visa,/lib/visa.so

[{CONFIG}\\1\\ROOT\\shop]
globaltimeout = dword:45
"""

AFTER = f"""[{PRODUCT}]
Threads = dword:2

[{CONFIG}\\1\\ROOT]
globaltimeout = dword:60
libraries[] = c,visa,/lib/visa.so
securityoptions = dword:4096

[{CONFIG}\\1\\ROOT\\shop]
globaltimeout = dword:45

"""


def by_label(driver, text):
    """The control that a label of this text (access-key marks dropped) is bound to."""
    label = driver.find_element(By.XPATH, f"//label[normalize-space(.)='{text}']")
    return driver.find_element(By.ID, label.get_attribute("for"))


def caption(driver):
    return driver.find_element(By.TAG_NAME, "h1").text


def run(driver, url, registry):
    driver.get(url)
    check(caption(driver) == "Vorn Quillon Tevrona Configuration", "the tree opens")
    driver.find_element(By.LINK_TEXT, "ROOT").click()
    check(caption(driver) == "Vorn Quillon Tevrona", "the page opens")
    check(driver.find_element(By.ID, "node").text == "Configuration\\1\\ROOT", "the page names its node")

    timeout = by_label(driver, "Global Timeout")
    check(timeout.get_attribute("name") == "globaltimeout", "fields are named by their values")
    check(timeout.get_attribute("value") == "120", "the node's own value is shown")
    check(driver.find_element(By.NAME, "Threads").get_attribute("value") == "2", "the thread count is shown")
    timeout.clear()
    timeout.send_keys("60")
    press(driver, "Apply")

    # The child "shop" sets its own time-out: it is offered, and kept.
    check(caption(driver) == "Inheritance Overrides", "the apply offers the overriding child")
    text = driver.find_element(By.XPATH, "//form/p[1]").get_attribute("textContent")
    check('the value of the "Global Timeout" property' in text, "the override text names the setting")
    check(by_label(driver, "shop").is_selected() is False, "no child starts selected")
    press(driver, "OK")
    check(caption(driver) == "Vorn Quillon Tevrona", "back on the page")
    check(by_label(driver, "Global Timeout").get_attribute("value") == "60", "the page keeps its value")

    # An entry added, then the dialog cancelled: the list stays as it was.
    press(driver, "Libraries...")
    check(caption(driver) == "Libraries", "the Libraries dialog opens")
    press(driver, "Add")
    check(caption(driver) == "Add/Edit Library", "the edit dialog opens")
    Select(by_label(driver, "Library Type:")).select_by_visible_text("Database")
    by_label(driver, "Method:").send_keys("sql")
    by_label(driver, "Library:").send_keys("/lib/sql.so")
    press(driver, "OK")
    rows = [row.text for row in driver.find_elements(By.XPATH, "//table/tbody/tr")]
    check(rows == ["Commerce visa /lib/visa.so", "Database sql /lib/sql.so"], f"rows in list order: {rows}")
    press(driver, "Cancel")
    press(driver, "Libraries...")
    rows = [row.text for row in driver.find_elements(By.XPATH, "//table/tbody/tr")]
    check(rows == ["Commerce visa /lib/visa.so"], f"Cancel restored the list: {rows}")
    press(driver, "Cancel")

    # Options: chain verification off sets its bit.
    press(driver, "Options...")
    check(caption(driver) == "Options", "the Options dialog opens")
    chain = by_label(driver, "Verify Chain")
    check(chain.is_selected(), "chain verification starts ticked")
    check(not by_label(driver, "Verify Identity When Using IP").is_selected(), "address checks start clear")
    chain.click()
    press(driver, "OK")
    # Enter in an edit is the page's OK.
    page = driver.find_element(By.TAG_NAME, "html")
    by_label(driver, "Mail Timeout").send_keys("\n")
    WebDriverWait(driver, 10).until(replaced(page))
    check(caption(driver) == "Vorn Quillon Tevrona Configuration", "OK closes the sheet")

    with open(registry, encoding="utf-8") as stored:
        written = stored.read()
    check(written == AFTER, f"registry file:\n{written}")


def main():
    vornconfig = sys.argv[1]
    with tempfile.TemporaryDirectory() as scratch:
        registry = os.path.join(scratch, "registry.conf")
        with open(registry, "w", encoding="utf-8") as out:
            out.write(BEFORE)
        server = subprocess.Popen([vornconfig, "--port", "0", "--registry", registry], stdout=subprocess.PIPE,
                                  text=True)
        session = Session(server, "vornconfig", stop_timeout=30)
        with session:
            url = server.stdout.readline().strip()
            run(session.start(scratch), url, registry)
    return session.outcome()


if __name__ == "__main__":
    sys.exit(main())
