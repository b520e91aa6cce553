"""Headless Chromium driven over the Chrome DevTools Protocol (a websocket, Debian's
python3-websocket), for the tests of qm4720d's web page.

    with BrowserSession("/usr/bin/chromium") as browser:
        browser.navigate("http://127.0.0.1:8080/")
        browser.wait_for("document.title === 'qm4720d'", 5)
        browser.screenshot("page.png")

The browser gets a fresh profile in a temporary folder, listens for the protocol on a port of its
own choosing on 127.0.0.1 (read back from the profile's DevToolsActivePort), and is stopped by its
process id. Exceptions thrown by the page's scripts are collected in `page_errors`.
"""
import base64
import json
import os
import signal
import subprocess
import tempfile
import time
import urllib.request

import websocket

# Without the networking flags the browser's own connections (updates, sync, QUIC probes) are
# refused by a closed network and slow every start.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0"]


class BrowserError(RuntimeError):
    pass


class BrowserSession:
    def __init__(self, chromium, width=1280, height=900):
        self.chromium = chromium
        self.width = width
        self.height = height
        self.process = None
        self.socket = None
        self.next_id = 0
        self.page_errors = []

    def __enter__(self):
        self.profile = tempfile.TemporaryDirectory(prefix="qm-chromium-")
        self.log = open(os.path.join(self.profile.name, "chromium.log"), "w")
        self.process = subprocess.Popen(
            [self.chromium, *FLAGS, "--user-data-dir=" + self.profile.name,
             f"--window-size={self.width},{self.height}", "about:blank"],
            stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            port = self._devtools_port(60)
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as r:
                targets = json.load(r)
            page = next(t for t in targets if t["type"] == "page")
            # Chromium refuses a protocol client that sends an Origin it was not told to allow.
            self.socket = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=30,
                                                      suppress_origin=True)
            self.call("Runtime.enable")
            self.call("Page.enable")
            self.call("Emulation.setDeviceMetricsOverride", width=self.width, height=self.height,
                      deviceScaleFactor=1, mobile=False)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _devtools_port(self, seconds):
        path = os.path.join(self.profile.name, "DevToolsActivePort")
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise BrowserError(f"chromium exited with status {self.process.returncode}: "
                                   + self.browser_log())
            try:
                with open(path) as f:
                    first = f.readline().strip()
                if first:
                    return int(first)
            except FileNotFoundError:
                pass
            time.sleep(0.1)
        raise BrowserError("chromium did not open its DevTools port: " + self.browser_log())

    def browser_log(self):
        self.log.flush()
        with open(self.log.name) as f:
            return f.read()[-2000:]

    def call(self, method, **params):
        """Sends one command and returns its result; events met meanwhile are looked at."""
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("method") == "Runtime.exceptionThrown":
                details = message["params"]["exceptionDetails"]
                self.page_errors.append(details.get("exception", {}).get("description")
                                        or details.get("text"))
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise BrowserError(f"{method}: {message['error']}")
                return message["result"]

    def navigate(self, url):
        self.call("Page.navigate", url=url)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (a promise is waited for)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails'].get('text')} "
                               f"{result['result'].get('description', '')}")
        return result["result"].get("value")

    def wait_for(self, expression, seconds):
        """The first truthy value of `expression` within `seconds`, else None (its last value is
        in `last_value`)."""
        deadline = time.monotonic() + seconds
        while True:
            self.last_value = self.evaluate(expression)
            if self.last_value:
                return self.last_value
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.1)

    def screenshot(self, path, selector=None):
        """A PNG of the whole page (the viewport grown to the page's height), or of the element
        that `selector` finds."""
        metrics = self.call("Page.getLayoutMetrics")
        height = int(metrics["cssContentSize"]["height"]) + 1
        self.call("Emulation.setDeviceMetricsOverride", width=self.width,
                  height=max(height, 200), deviceScaleFactor=1, mobile=False)
        clip = {}
        if selector is not None:
            found = f"document.querySelector({json.dumps(selector)})"
            box = self.evaluate(f"(() => {{ const r = {found}.getBoundingClientRect();"
                                " return {x: r.left + scrollX,"
                                " y: r.top + scrollY, width: r.width, height: r.height}; })()")
            clip = {"clip": {**box, "scale": 1}}
        data = self.call("Page.captureScreenshot", format="png", **clip)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        self.call("Emulation.setDeviceMetricsOverride", width=self.width, height=self.height,
                  deviceScaleFactor=1, mobile=False)

    def close(self):
        if self.socket is not None:
            self.socket.close()
            self.socket = None
        if self.process is not None:
            # SIGTERM: the browser closes its renderers and helpers before it exits.
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            # Its helpers (crash handler, zygotes) may outlive it and still write to the profile:
            # the whole process group goes before the profile is removed.
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            time.sleep(0.2)
            self.process = None
        self.log.close()
        self.profile.cleanup()
