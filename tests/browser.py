"""Headless Chromium driven through its DevTools protocol over a pipe (no
web socket, nothing beyond the standard library): open a page, time it,
collect its console errors, move the mouse, read the page."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
import threading
import time
from typing import Any

CANDIDATES = ("chromium", "chromium-browser", "google-chrome", "chrome")


def find_chromium() -> str | None:
    """The browser to use: $OVILA_CHROMIUM, else the first one on the PATH."""
    chosen = os.environ.get("OVILA_CHROMIUM")
    if chosen:
        return chosen if shutil.which(chosen) else None
    for name in CANDIDATES:
        found = shutil.which(name)
        if found:
            return found
    return None


class BrowserError(RuntimeError):
    pass


class Browser:
    """One headless browser with one page. Commands go to descriptor 3 of the
    browser and answers come from its descriptor 4, each a JSON text ended
    by a NUL byte."""

    def __init__(self, executable: str, width: int = 1280, height: int = 900) -> None:
        self.profile = tempfile.mkdtemp(prefix="ovila-browser-")
        commands_read, self.commands = os.pipe()
        self.answers, answers_write = os.pipe()
        # The shell puts the two pipe ends at descriptors 3 and 4, then
        # becomes the browser (no preexec function in a threaded process).
        # (By way of descriptors 200 and 201, since either end may be 3 or 4 here.)
        script = (f"exec 200<&{commands_read} 201>&{answers_write}; exec {commands_read}<&- {answers_write}>&-; "
                  'exec 3<&200 4>&201 200<&- 201>&-; exec "$@"')
        arguments = [
            executable, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
            f"--user-data-dir={self.profile}", "--no-first-run", "--no-default-browser-check",
            "--disable-extensions", "--disable-background-networking", f"--window-size={width},{height}",
            "about:blank",
        ]
        # The browser is not what is tested: it runs without the sanitizers' preloads and settings.
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("LD_PRELOAD", "PYTHONMALLOC") and not key.endswith("SAN_OPTIONS")}
        self.process = subprocess.Popen(["bash", "-c", script, "browser", *arguments],
                                        pass_fds=(commands_read, answers_write), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=environment)
        os.close(commands_read)
        os.close(answers_write)
        self.lock = threading.Condition()
        self.replies: dict[int, dict[str, Any]] = {}
        self.events: list[dict[str, Any]] = []
        self.next_id = 0
        self.closed = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.session = self._attach()

    def _read(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self.answers, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self.lock:
                    self.closed = True
                    self.lock.notify_all()
                return
            pending += chunk
            *messages, pending = pending.split(b"\0")
            with self.lock:
                for message in messages:
                    data = json.loads(message)
                    if "id" in data:
                        self.replies[data["id"]] = data
                    else:
                        self.events.append(data)
                self.lock.notify_all()

    def send(self, method: str, params: dict[str, Any] | None = None, *, session: bool = True,
             timeout: float = 60.0) -> dict[str, Any]:
        with self.lock:
            self.next_id += 1
            number = self.next_id
        message: dict[str, Any] = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self.lock:
            while number not in self.replies:
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise BrowserError(f"no answer to {method}" + (" (the browser ended)" if self.closed else ""))
                self.lock.wait(left)
            reply = self.replies.pop(number)
        if "error" in reply:
            raise BrowserError(f"{method}: {reply['error']}")
        result: dict[str, Any] = reply.get("result", {})
        return result

    def _attach(self) -> str:
        self.session = ""
        deadline = time.monotonic() + 60
        while True:
            targets = self.send("Target.getTargets", session=False)["targetInfos"]
            pages = [t for t in targets if t["type"] == "page"]
            if pages or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        if not pages:
            raise BrowserError("the browser opened no page")
        session: str = self.send("Target.attachToTarget", {"targetId": pages[0]["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.session = session
        for domain in ("Runtime", "Log", "Page"):
            self.send(f"{domain}.enable")
        return session

    def evaluate(self, expression: str) -> Any:
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise BrowserError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, url: str, ready: str, timeout: float = 60.0) -> float:
        """Navigates to `url` and waits until `ready` (an expression) is true;
        returns the seconds that took, as seen from here."""
        self.send("Page.navigate", {"url": "about:blank"})
        while self.evaluate("document.URL") != "about:blank":
            time.sleep(0.01)
        started = time.monotonic()
        self.send("Page.navigate", {"url": url})
        while not self.evaluate(f"document.URL !== 'about:blank' && document.documentElement !== null && ({ready})"):
            if time.monotonic() - started > timeout:
                raise BrowserError(f"{url} not ready within {timeout} s")
            time.sleep(0.02)
        return time.monotonic() - started

    def move_mouse(self, x: float, y: float) -> None:
        self.send("Input.dispatchMouseEvent", {"type": "mouseMoved", "x": x, "y": y})

    def errors(self) -> list[str]:
        """The page's uncaught exceptions and console errors so far."""
        found = []
        with self.lock:
            events = list(self.events)
        for event in events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                found.append(json.dumps(params.get("exceptionDetails", {}))[:500])
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                found.append(json.dumps(params.get("args", []))[:500])
            elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
                found.append(params["entry"].get("text", "")[:500])
        return found

    def close(self) -> None:
        try:
            self.send("Browser.close", session=False, timeout=5)
        except (BrowserError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for descriptor in (self.commands, self.answers):
            try:
                os.close(descriptor)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def screenshot(self, path: str) -> None:
        """A PNG of what the page shows (for looking at it)."""
        import base64

        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as handle:
            handle.write(base64.b64decode(data))

    def __enter__(self) -> Browser:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

