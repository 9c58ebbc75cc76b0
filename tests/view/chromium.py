"""Headless Chromium driven over its DevTools protocol: open a page, log every request it makes,
read its text, take screenshots.

The protocol is JSON over one websocket; the `websockets` package comes with viser, so no
driver library is needed. WebGL runs on SwiftShader, Chromium's software renderer.
"""

from __future__ import annotations

import base64
import importlib.util
import io
import itertools
import json
import shutil
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import pytest

CANDIDATES = ("chromium", "chromium-browser", "/usr/lib/chromium/chromium")
START_TIMEOUT_S = 30.0
LOOPBACK = {"127.0.0.1", "localhost", "::1", "[::1]"}


def _viser_installed() -> bool:
    return importlib.util.find_spec("viser") is not None


def chromium_binary() -> str | None:
    for name in CANDIDATES:
        found = shutil.which(name)
        if found:
            return found
    return None


needs_viser = pytest.mark.skipif(
    not _viser_installed(),
    reason='the view extra is not installed: pip install "epson-remote[view]"',
)
needs_browser = pytest.mark.skipif(
    chromium_binary() is None or not _viser_installed(),
    reason="needs Debian's chromium (apt-get install chromium) and the view extra",
)


def leaves_loopback(url: str) -> bool:
    """Whether a request goes to any host but this machine's loopback (data: and the like go
    nowhere)."""
    parts = urlsplit(url)
    if parts.scheme in ("data", "blob", "about", "chrome", "devtools"):
        return False
    return (parts.hostname or "") not in LOOPBACK


class Browser:
    """One headless Chromium process with one page; ``close()`` ends it (by its PID)."""

    def __init__(self, width: int = 1280, height: int = 800) -> None:
        import websockets.sync.client  # comes with viser

        binary = chromium_binary()
        if binary is None:
            raise RuntimeError("chromium is not installed")
        self._profile = tempfile.TemporaryDirectory(prefix="epson-view-browser-")
        self.process = subprocess.Popen(
            [
                binary,
                "--headless=new",
                "--no-sandbox",  # root in CI
                "--use-angle=swiftshader",
                "--enable-unsafe-swiftshader",
                "--remote-debugging-port=0",
                "--remote-allow-origins=*",
                f"--user-data-dir={self._profile.name}",
                f"--window-size={width},{height}",
                "--no-first-run",
                "--no-default-browser-check",
                "--disable-background-networking",
                "--disable-component-update",
                "--disable-sync",
                "--disable-extensions",
                "about:blank",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        self.requests: list[str] = []
        self.workers = 0
        self.websocket_frames = 0  # messages the page received from its server
        self._replies: dict[int, dict[str, Any]] = {}
        self._ids = itertools.count(1)
        self._cond = threading.Condition()
        try:
            self._socket = websockets.sync.client.connect(
                self._browser_endpoint(), max_size=64 * 1024 * 1024, open_timeout=10
            )
            self._reader = threading.Thread(target=self._read, daemon=True)
            self._reader.start()
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self._session = self.call("Target.attachToTarget", targetId=target, flatten=True)[
                "sessionId"
            ]
            for domain in ("Page", "Network", "Runtime"):
                self.call(f"{domain}.enable", session=True)
            # The page's workers (viser's websocket runs in one) log their requests too.
            self.call(
                "Target.setAutoAttach",
                session=True,
                autoAttach=True,
                waitForDebuggerOnStart=True,
                flatten=True,
            )
            self.call(
                "Emulation.setDeviceMetricsOverride",
                session=True,
                width=width,
                height=height,
                deviceScaleFactor=1,
                mobile=False,
            )
        except BaseException:
            self.close()
            raise

    def _browser_endpoint(self) -> str:
        active = Path(self._profile.name) / "DevToolsActivePort"
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"chromium ended at start (exit {self.process.returncode})")
            if active.exists():
                lines = active.read_text().split()
                if len(lines) >= 2:
                    return f"ws://127.0.0.1:{lines[0]}{lines[1]}"
            time.sleep(0.05)
        raise RuntimeError("chromium did not open its DevTools port")

    def _read(self) -> None:
        try:
            for raw in self._socket:
                message = json.loads(raw)
                with self._cond:
                    if "id" in message:
                        self._replies[message["id"]] = message
                    else:
                        self._note(message)
                    self._cond.notify_all()
        except Exception:  # the socket closed: calls waiting time out
            with self._cond:
                self._cond.notify_all()

    def _note(self, event: dict[str, Any]) -> None:
        method, params = event.get("method"), event.get("params", {})
        if method == "Network.requestWillBeSent":
            self.requests.append(params["request"]["url"])
        elif method == "Network.webSocketCreated":
            self.requests.append(params["url"])
        elif method == "Network.webSocketFrameReceived":
            self.websocket_frames += 1
        elif method == "Target.attachedToTarget":
            self.workers += 1
            threading.Thread(target=self._watch_worker, args=(params["sessionId"],)).start()

    def _watch_worker(self, session_id: str) -> None:
        """Log a worker's requests, then let it run (it waits for us since it started)."""
        try:
            self.call("Network.enable", session=session_id)
        except (RuntimeError, TimeoutError):
            pass  # not every kind of target has a network of its own
        try:
            self.call("Runtime.runIfWaitingForDebugger", session=session_id)
        except (RuntimeError, TimeoutError):
            pass  # gone already

    def call(
        self, method: str, *, session: bool | str = False, timeout: float = 30.0, **params: Any
    ):
        call_id = next(self._ids)
        message: dict[str, Any] = {"id": call_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session if isinstance(session, str) else self._session
        self._socket.send(json.dumps(message))
        deadline = time.monotonic() + timeout
        with self._cond:
            while call_id not in self._replies:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"no reply to {method} within {timeout} s")
                self._cond.wait(left)
            reply = self._replies.pop(call_id)
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    # -- what the tests use ------------------------------------------------------------------

    def open(self, url: str) -> None:
        self.call("Page.navigate", session=True, url=url)

    def evaluate(self, expression: str) -> Any:
        result = self.call(
            "Runtime.evaluate", session=True, expression=expression, returnByValue=True
        )
        return result.get("result", {}).get("value")

    def text(self) -> str:
        return self.evaluate("document.body ? document.body.innerText : ''") or ""

    def wait_for(self, condition: Callable[[], bool], timeout: float = 30.0) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.1)
        return condition()

    def screenshot(self) -> bytes:
        data = self.call("Page.captureScreenshot", session=True, format="png")["data"]
        return base64.b64decode(data)

    def close(self) -> None:
        socket = getattr(self, "_socket", None)
        if socket is not None:
            try:
                socket.close()
            except Exception:
                pass
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._profile.cleanup()

    def __enter__(self) -> Browser:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def pixels(png: bytes):
    """A screenshot as an (height, width, 3) array of uint8."""
    import numpy as np
    from PIL import Image

    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
