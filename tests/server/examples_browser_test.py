#!/usr/bin/python3
"""The example pages of examples/web/ in headless Chromium, served as `make
run` serves them: every page is read as UTF-8; a visitor sends the form and
an upload, sees the cookie page, signs the guest book, adds people to each
address book, finds them by a prefix and deletes one, typing texts full of
markup and letters beyond ASCII; each next page must show exactly what was
typed, as text.

Usage: examples_browser_test.py BUILD_DIR SOURCE_DIR"""

import os
import socket
import subprocess
import sys
import tempfile
import time

from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from browser_support import Session, check, press, submit  # noqa: E402

NAME = '<i>Zoë</i> & "Q" (1)'
NOTE = "first line\n<u>second</u> line"
PHONE = "555 <u>2</u>"
WIDE = "Zoë Ångström 漢字"
LONG = "Ö" * 300


def fill(driver, name, text):
    # The field to type in; the entries' hidden fields share its name.
    field = driver.find_element(By.CSS_SELECTOR, f"[name={name}]:not([type=hidden])")
    field.clear()
    field.send_keys(text)


def said(driver):
    return driver.find_element(By.ID, "said").text


def no_markup(driver, where):
    # Typed tags stay text: none of them became an element.
    check(not driver.find_elements(By.CSS_SELECTOR, f"{where} i, {where} u"), f"markup from a visitor in {where}")


def every_page_utf8(driver, port):
    for page in ("index", "hello", "form", "cookie", "upload", "guestbook", "xbase", "sql", "error"):
        driver.get(f"http://127.0.0.1:{port}/{page}.vrc")
        encoding = driver.execute_script("return document.characterSet")
        check(encoding == "UTF-8", f"{page}.vrc is read as {encoding}")
    driver.get(f"http://127.0.0.1:{port}/")


def form_and_upload(driver, scratch):
    driver.find_element(By.LINK_TEXT, "form").click()
    fill(driver, "name", WIDE)
    driver.find_element(By.CSS_SELECTOR, "input[value=green]").click()
    press(driver, "Send")
    sent = [item.text for item in driver.find_elements(By.CSS_SELECTOR, "#sent li")]
    check(sent == [f"name = {WIDE}", "colour = green"], f"the form as sent: {sent}")
    # No colour ticked, and a name without a space that the page must wrap.
    fill(driver, "name", LONG)
    press(driver, "Send")
    sent = [item.text for item in driver.find_elements(By.CSS_SELECTOR, "#sent li")]
    check(sent == [f"name = {LONG}", "colour: none"], f"the form as sent: {sent}")
    check(driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth"),
          "a long name scrolls the page sideways")
    driver.find_element(By.LINK_TEXT, "back").click()

    driver.delete_all_cookies()
    driver.find_element(By.LINK_TEXT, "cookie").click()
    check(driver.find_element(By.ID, "sent").text.startswith("(nothing yet"), "the first visit sent no cookie")
    driver.refresh()
    check(driver.find_element(By.ID, "sent").text.startswith("kpzcallerid="), "the cookie comes back")
    driver.find_element(By.LINK_TEXT, "back").click()

    driver.find_element(By.LINK_TEXT, "upload").click()
    path = os.path.join(scratch, "notes.txt")
    with open(path, "w") as out:
        out.write("twelve bytes")
    fill(driver, "comment", WIDE)
    driver.find_element(By.CSS_SELECTOR, "input[type=file]").send_keys(path)
    press(driver, "Upload")
    got = [item.text for item in driver.find_elements(By.CSS_SELECTOR, "#got li")]
    check(got == ["notes.txt (text/plain): 12 bytes kept of 12, COMPLETE"], f"the upload: {got}")
    check(driver.find_element(By.ID, "comment").text == WIDE, "the comment as typed")
    driver.find_element(By.LINK_TEXT, "back").click()


def guest_book(driver):
    driver.find_element(By.LINK_TEXT, "guest book").click()
    check(driver.find_element(By.TAG_NAME, "h1").text == "Guest book", "the guest book opens")
    fill(driver, "name", NAME)
    fill(driver, "note", NOTE)
    press(driver, "Sign")
    check(said(driver) == "Thank you for signing.", "signed")
    entries = [item.text for item in driver.find_elements(By.CSS_SELECTOR, "#entries li")]
    check(entries == [f"{NAME}: {NOTE}"], f"the entry as typed: {entries}")
    no_markup(driver, "#entries")
    press(driver, "Sign")
    check(said(driver) == "Please give your name.", "an empty name signs nothing")
    check(len(driver.find_elements(By.CSS_SELECTOR, "#entries li")) == 1, "still one entry")
    driver.find_element(By.LINK_TEXT, "back").click()


def rows(driver):
    # Each entry is "name, phone" and its Delete button.
    return [row.text.removesuffix(" Delete") for row in driver.find_elements(By.CSS_SELECTOR, "#people li")]


def address_book(driver, link):
    driver.find_element(By.LINK_TEXT, link).click()
    check(driver.find_element(By.TAG_NAME, "h1").text == link[0].upper() + link[1:], f"{link} opens")
    for name, phone in (("Grace", "555 1"), (NAME, PHONE), ("Ada", ""), (WIDE, "")):
        fill(driver, "name", name)
        fill(driver, "phone", phone)
        press(driver, "Add")
        check(said(driver) == "Added.", f"{name} added")
    fill(driver, "name", "x" * 39 + "漢")
    press(driver, "Add")
    check(said(driver).startswith("Nothing was added: the name takes 42 bytes"), f"too long: {said(driver)}")
    everybody = [f"{NAME}, {PHONE}", "Ada,", "Grace, 555 1", f"{WIDE},"]
    check(rows(driver) == everybody, f"everybody in name order: {rows(driver)}")
    no_markup(driver, "#people")

    fill(driver, "find", "Gr")
    press(driver, "Find")
    check(rows(driver) == ["Grace, 555 1"], f"found by a prefix: {rows(driver)}")
    fill(driver, "find", "<i>Z")
    press(driver, "Find")
    check(rows(driver) == [f"{NAME}, {PHONE}"], f"found by a prefix with markup: {rows(driver)}")

    submit(driver, driver.find_element(By.CSS_SELECTOR, "#people li button"))
    check(said(driver) == "Deleted.", "deleted")
    check(rows(driver) == ["Ada,", "Grace, 555 1", f"{WIDE},"], f"the others stay: {rows(driver)}")
    driver.find_element(By.LINK_TEXT, "back").click()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    build, source = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as scratch:
        os.chmod(scratch, 0o755)
        root = os.path.join(scratch, "web")
        os.mkdir(root)
        pages = os.path.join(source, "examples", "web")
        for name in sorted(os.listdir(pages)):
            if name.endswith(".vra"):
                subprocess.run([os.path.join(build, "tools", "vrasm"), "-o",
                                os.path.join(root, name[:-4] + ".vrc"), os.path.join(pages, name)], check=True)
        port = free_port()
        server = subprocess.Popen(["bash", os.path.join(source, "server", "serve.sh"), "--build", build,
                                   "--root", root, "--state", os.path.join(scratch, "state"), "--port", str(port),
                                   "--registry-template", os.path.join(pages, "registry.conf.in")])
        session = Session(server, "serve.sh", stop_timeout=60)
        with session:
            for _ in range(400):
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.025)
            driver = session.start(scratch)
            every_page_utf8(driver, port)
            form_and_upload(driver, scratch)
            guest_book(driver)
            address_book(driver, "address book (xBase)")
            address_book(driver, "address book (SQL)")
    return session.outcome()


if __name__ == "__main__":
    sys.exit(main())
