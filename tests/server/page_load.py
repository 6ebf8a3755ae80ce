#!/usr/bin/python3
"""Load on the example pages through nginx: several clients on kept
connections ask for every page at once (hello, form, guestbook, xbase, sql,
and VrDO and expression pages) for SECONDS seconds, while the registry file
and a page are rewritten now and then. Each answer is checked. With a
ThreadSanitizer build, vornfcgi's reports end up in the state folder and fail
the run.

    page_load.py BUILD SOURCE [SECONDS] [CLIENTS]
"""
import glob
import http.client
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30
clients = int(sys.argv[4]) if len(sys.argv) > 4 else 8

base = tempfile.mkdtemp(prefix="vorn-load-")
root, state = os.path.join(base, "web"), os.path.join(base, "state")
os.makedirs(root)
os.makedirs(state)
os.chmod(base, 0o755)
vrasm = os.path.join(build, "tools", "vrasm")
pages = glob.glob(os.path.join(source, "examples", "web", "*.vra"))
pages += [os.path.join(source, "examples", name) for name in ("vrdo.vra", "vrdolib.vra", "expression.vra")]
for page in pages:
    target = os.path.join(root, os.path.basename(page)[:-4] + ".vrc")
    subprocess.run([vrasm, "-o", target, page], check=True)
hello = open(os.path.join(root, "hello.vrc"), "rb").read()
with tempfile.NamedTemporaryFile("w", suffix=".vra", delete=False) as other:
    other.write('.segment main entry\n    pushc "Hello again!\\n"\n    out\n.end\n')
subprocess.run([vrasm, "-o", os.path.join(base, "hello2.vrc"), other.name], check=True)
os.unlink(other.name)
hello2 = open(os.path.join(base, "hello2.vrc"), "rb").read()

probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
registry = os.path.join(state, "registry.conf")
template = open(os.path.join(source, "examples", "web", "registry.conf.in")).read()
template = template.replace("@ROOT@", root).replace("@DATA@", os.path.join(state, "data"))
template = template.replace("@BUILD@", build).replace("Threads = dword:4", "Threads = dword:8")
open(registry, "w").write(template)

environment = dict(os.environ)
reports = os.path.join(state, "tsan")
environment["TSAN_OPTIONS"] = (environment.get("TSAN_OPTIONS", "") + " log_path=" + reports).strip()
serve = subprocess.Popen(["bash", os.path.join(source, "server", "serve.sh"), "--build", build, "--root", root,
                          "--state", state, "--port", str(port), "--registry", registry],
                         env=environment, stdout=subprocess.DEVNULL)
for _ in range(400):
    try:
        socket.create_connection(("127.0.0.1", port), 1).close()
        break
    except OSError:
        time.sleep(0.05)
else:
    serve.kill()
    sys.exit("page_load: nginx did not come up")

FORM = {"Content-Type": "application/x-www-form-urlencoded"}
lock = threading.Lock()
counts, failures = {}, []


def form(fields):
    return urllib.parse.urlencode(fields)


def said(body):
    m = re.search(r'<p id="said">([^<]*)</p>', body)
    return m.group(1) if m else ""


def whole(body):
    return body.endswith("</body></html>\n")


class Client:
    def __init__(self, number):
        self.number = number
        self.serial = 0
        self.connection = None

    def ask(self, method, target, body=None):
        headers = dict(FORM) if body is not None else {}
        # Now and then a request with many headers: the system scope grows.
        if random.random() < 0.1:
            headers.update(("X-Load-%d" % i, "v" * i) for i in range(150))
        for attempt in range(2):
            if self.connection is None:
                self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
            try:
                self.connection.request(method, target, body, headers)
                reply = self.connection.getresponse()
                text = reply.read().decode("utf-8", "replace")
                if reply.getheader("Connection", "").lower() == "close":
                    self.connection.close()
                    self.connection = None
                return reply.status, text
            except (ConnectionError, http.client.HTTPException):
                # nginx may close a kept client connection between requests.
                self.connection.close()
                self.connection = None
                if attempt:
                    raise
        raise AssertionError("unreachable")

    def name(self):
        self.serial += 1
        return "c%d-%d" % (self.number, self.serial)

    def hello(self):
        status, body = self.ask("GET", "/hello.vrc")
        return status == 200 and (body == "Hello again!\n" or whole(body) and "<p>Hello, world!</p>" in body)

    def form(self):
        name = self.name()
        colours = [("colour", "c%d" % i) for i in range(random.choice((2, 300)))]
        status, body = self.ask("POST", "/form.vrc", form([("name", name)] + colours + [("colour", "blue")]))
        return status == 200 and whole(body) and 'value="%s"' % name in body and 'value="blue"' in body

    def guestbook(self):
        if random.random() < 0.2:
            status, body = self.ask("POST", "/guestbook.vrc", form({"name": self.name(), "note": "n" * 200}))
            return status == 200 and whole(body) and said(body) == "Thank you for signing."
        status, body = self.ask("GET", "/guestbook.vrc")
        return status == 200 and whole(body)

    def book(self, page):
        name, phone = self.name(), str(random.randrange(10 ** 6))
        status, body = self.ask("POST", page, form({"action": "add", "name": name, "phone": phone}))
        if status != 200 or said(body) != "Added.":
            return False
        status, body = self.ask("GET", page + "?" + form({"find": name}))
        entry = 'name="name" value="%s"' % name
        if status != 200 or not whole(body) or entry not in body:
            return False
        # Each client's names are its own: its delete finds its entry.
        status, body = self.ask("POST", page, form({"action": "delete", "name": name, "phone": phone}))
        return status == 200 and said(body) == "Deleted."

    def vrdo(self):
        status, body = self.ask("GET", "/vrdo.vrc")
        return status == 200 and "main: visits = 2\n" in body and "main: square(6) + 1 = 37\n" in body

    def expression(self):
        status, body = self.ask("GET", "/expression.vrc")
        return status == 200 and "Total: 84\n" in body and "2 POW 10 = 1024" in body

    def run(self, until):
        work = [("hello", self.hello), ("form", self.form), ("guestbook", self.guestbook),
                ("xbase", lambda: self.book("/xbase.vrc")), ("sql", lambda: self.book("/sql.vrc")),
                ("vrdo", self.vrdo), ("expression", self.expression)]
        while time.monotonic() < until:
            what, step = random.choice(work)
            try:
                ok = step()
            except Exception as error:  # noqa: BLE001 - every failure is reported
                ok = False
                what += " (%s)" % error
            with lock:
                counts[what] = counts.get(what, 0) + 1
                if not ok:
                    failures.append(what)


def change(until):
    # The registry and a page change under the load: each request must see a
    # whole version of either.
    turn = 0
    while time.monotonic() < until:
        time.sleep(0.5)
        turn += 1
        text = template + "\n[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\form.vrc]\n" \
            "globaltimeout = dword:%d\n" % (20 + turn % 2)
        with open(registry + ".new", "w") as out:
            out.write(text)
        os.rename(registry + ".new", registry)
        with open(os.path.join(root, "hello.new"), "wb") as out:
            out.write(hello2 if turn % 2 else hello)
        os.rename(os.path.join(root, "hello.new"), os.path.join(root, "hello.vrc"))


until = time.monotonic() + seconds
threads = [threading.Thread(target=Client(i).run, args=(until,)) for i in range(clients)]
threads.append(threading.Thread(target=change, args=(until,)))
for t in threads:
    t.start()
for t in threads:
    t.join()

serve.send_signal(signal.SIGTERM)
status = serve.wait()
found = sorted(glob.glob(reports + ".*"))
for report in found:
    sys.stdout.write(open(report).read())
print("page_load: %d requests in %.0f s: %s" % (sum(counts.values()), seconds,
      ", ".join("%s %d" % item for item in sorted(counts.items()))))
problems = []
if failures:
    problems.append("%d failed (%s)" % (len(failures), ", ".join(sorted(set(failures)))))
if status != 0:
    problems.append("serve.sh ended with %d" % status)
if found:
    problems.append("%d sanitizer reports" % len(found))
if problems:
    print("page_load: " + "; ".join(problems) + "; files in " + base)
    sys.exit(1)
shutil.rmtree(base)
