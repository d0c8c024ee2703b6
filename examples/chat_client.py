"""A small client for OpenAI-compatible chat servers (a local llama.cpp server,
Ollama, vLLM, or a hosted API), written with the standard library only.

The dream-cycle demo uses it when QUORVANE_DEMO_BASE_URL is set:

    QUORVANE_DEMO_BASE_URL   the server, e.g. http://127.0.0.1:8080 (a trailing /v1 is fine)
    QUORVANE_DEMO_MODEL      the model to ask for
    QUORVANE_DEMO_API_KEY    sent as "Authorization: Bearer ..." when set
    QUORVANE_DEMO_TIMEOUT    seconds a whole request may take (default 120)

Every way a request can fail ends as one ModelError whose message is a
single line: the server is unreachable, does not answer in time, answers
with an HTTP error, or answers with something that is not a chat completion.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import http.client
import json
import math
import socket
import sys
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, ParamSpec, TextIO, TypeVar
from urllib.parse import urlsplit

ENV_BASE_URL = "QUORVANE_DEMO_BASE_URL"
ENV_MODEL = "QUORVANE_DEMO_MODEL"
ENV_API_KEY = "QUORVANE_DEMO_API_KEY"
ENV_TIMEOUT = "QUORVANE_DEMO_TIMEOUT"

DEFAULT_TIMEOUT = 120.0
# How often a pending request prints that it is still waiting.
PROGRESS_INTERVAL = 5.0
# A chat completion is a few kilobytes; anything far larger is not one.
MAX_REPLY_BYTES = 8 << 20

Messages = list[dict[str, str]]

_P = ParamSpec("_P")
_T = TypeVar("_T")


class ModelError(Exception):
    """A request to the model failed; the message is one line for the user."""


@dataclass(frozen=True)
class ChatSettings:
    endpoint: str
    model: str
    api_key: str | None = None
    timeout: float = DEFAULT_TIMEOUT

    @classmethod
    def from_env(cls, env: Mapping[str, str]) -> ChatSettings | None:
        """The settings the environment names, or None when no server is named."""
        base_url = env.get(ENV_BASE_URL, "").strip()
        if not base_url:
            return None
        model = env.get(ENV_MODEL, "").strip()
        if not model:
            raise ModelError(
                f"{ENV_BASE_URL} is set but {ENV_MODEL} is not: name the model to ask for"
                " (a server with one model accepts any name)"
            )
        raw_timeout = env.get(ENV_TIMEOUT, "").strip()
        timeout = DEFAULT_TIMEOUT
        if raw_timeout:
            try:
                timeout = float(raw_timeout)
            except ValueError:
                timeout = math.nan
            if not (math.isfinite(timeout) and timeout > 0):
                raise ModelError(
                    f"{ENV_TIMEOUT} must be a positive number of seconds, got {raw_timeout!r}"
                )
        return cls(chat_endpoint(base_url), model, env.get(ENV_API_KEY) or None, timeout)


def chat_endpoint(base_url: str) -> str:
    """The chat-completions URL of a server given as http(s)://host[:port][/prefix][/v1]."""
    parts = urlsplit(base_url)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ModelError(
            f"{ENV_BASE_URL} must be an http:// or https:// URL such as"
            f" http://127.0.0.1:8080, got {base_url!r}"
        )
    base = base_url.rstrip("/")
    if base.endswith("/chat/completions"):
        return base
    if base.endswith("/v1"):
        return base + "/chat/completions"
    return base + "/v1/chat/completions"


def build_payload(
    model: str,
    system: str,
    messages: Messages,
    temperature: float | None = None,
    max_tokens: int | None = None,
) -> dict[str, Any]:
    """The request body for one (system, messages) chat request. Without
    `max_tokens` most servers generate until the model's context is full."""
    payload: dict[str, Any] = {
        "model": model,
        "messages": [{"role": "system", "content": system}, *messages],
    }
    if max_tokens is not None:
        payload["max_tokens"] = max_tokens
    if temperature is not None:
        payload["temperature"] = temperature
    return payload


def _one_line(text: str, limit: int = 200) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _preview(body: bytes) -> str:
    return repr(_one_line(body.decode("utf-8", "replace"), 80))


def _describe(error: BaseException | str) -> str:
    if isinstance(error, str):
        return error
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _server_message(body: bytes) -> str:
    """The error message in an error reply: OpenAI's {"error": {"message": ...}},
    Ollama's {"error": "..."}, or a short plain-text body."""
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):
        text = body.decode("utf-8", "replace").strip()
        return "" if not text or text.startswith("<") else _one_line(text)
    if isinstance(document, dict):
        error = document.get("error", document)
        if isinstance(error, dict):
            error = error.get("message") or error.get("detail")
        if isinstance(error, str):
            return _one_line(error)
    return ""


def completion_content(body: bytes) -> str:
    """choices[0].message.content of a chat-completion reply body."""
    if len(body) > MAX_REPLY_BYTES:
        raise ModelError(f"the server's reply is larger than {MAX_REPLY_BYTES >> 20} MB")
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):
        raise ModelError(f"the server's reply is not JSON: {_preview(body)}") from None
    try:
        content = document["choices"][0]["message"]["content"]
    except (TypeError, KeyError, IndexError):
        content = None
    if isinstance(content, str):
        return content
    message = _server_message(body) if isinstance(document, dict) and "error" in document else ""
    if message:
        raise ModelError(f"the server answered with an error: {message}")
    raise ModelError(
        "the server's reply is not a chat completion (no choices[0].message.content): "
        + _preview(body)
    )


class _Deadline:
    """The end of one request, however the server paces its bytes.

    A socket timeout bounds each wait on the network, so a server that sends
    a byte now and then could hold a request open for ever. When the time is
    up this shuts down every connection the request made, which wakes the
    read waiting on it. It shuts down duplicates of the sockets, closed only
    here, so it never touches a descriptor that the request has closed and
    the process has reused.
    """

    def __init__(self, seconds: float) -> None:
        self._end = time.monotonic() + seconds
        self._lock = threading.Lock()
        self._sockets: list[socket.socket] = []
        self._finished = False
        self.expired = False
        self._timer = threading.Timer(seconds, self._expire)
        self._timer.daemon = True

    def remaining(self) -> float:
        # A socket timeout of 0 would mean "do not wait", not "time is up".
        return max(self._end - time.monotonic(), 1e-3)

    def watch(self, sock: socket.socket) -> None:
        twin = socket.socket(sock.family, sock.type, sock.proto, socket.dup(sock.fileno()))
        with self._lock:
            self._sockets.append(twin)
            if self.expired:
                self._shut(twin)

    @staticmethod
    def _shut(sock: socket.socket) -> None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # already closed by the peer

    def _expire(self) -> None:
        with self._lock:
            if self._finished:
                return
            self.expired = True
            for sock in self._sockets:
                self._shut(sock)

    def __enter__(self) -> _Deadline:
        self._timer.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._timer.cancel()
        with self._lock:
            self._finished = True
            for sock in self._sockets:
                sock.close()
            self._sockets.clear()


class _WatchedConnection(http.client.HTTPConnection):
    """A connection that connects within what is left of its request's time
    and hands its socket to the request's deadline."""

    deadline: _Deadline

    def connect(self) -> None:
        self.timeout = self.deadline.remaining()
        super().connect()
        self.deadline.watch(self.sock)


# HTTPSConnection.connect calls super().connect() before the TLS handshake,
# which this order makes the watched connect: the handshake is inside the
# deadline too.
class _WatchedTLSConnection(http.client.HTTPSConnection, _WatchedConnection):
    pass


class _DeadlineHTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, deadline: _Deadline) -> None:
        super().__init__()
        self.deadline = deadline

    def _connection(self, host: str, **options: Any) -> http.client.HTTPConnection:
        connection = _WatchedConnection(host, **options)
        connection.deadline = self.deadline
        return connection

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(self._connection, req)


class _DeadlineHTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, deadline: _Deadline) -> None:
        super().__init__()
        self.deadline = deadline

    def _connection(self, host: str, **options: Any) -> http.client.HTTPConnection:
        connection = _WatchedTLSConnection(host, **options)
        connection.deadline = self.deadline
        return connection

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(self._connection, req)


def _opener(endpoint: str, deadline: _Deadline) -> urllib.request.OpenerDirector:
    handlers: list[urllib.request.BaseHandler] = [
        _DeadlineHTTPHandler(deadline),
        _DeadlineHTTPSHandler(deadline),
    ]
    # A server on this machine is reached directly, whatever proxy the
    # environment names for the outside world.
    host = urlsplit(endpoint).hostname or ""
    if host in ("localhost", "::1") or host.startswith("127."):
        handlers.append(urllib.request.ProxyHandler({}))
    return urllib.request.build_opener(*handlers)


def _exchange(
    settings: ChatSettings, request: urllib.request.Request, deadline: _Deadline, too_slow: str
) -> bytes:
    endpoint = settings.endpoint
    try:
        with _opener(endpoint, deadline).open(request, timeout=deadline.remaining()) as response:
            body: bytes = response.read(MAX_REPLY_BYTES + 1)
    except urllib.error.HTTPError as error:
        try:
            detail = _server_message(error.read(64 << 10))
        except (OSError, http.client.HTTPException):
            detail = ""
        finally:
            error.close()
        status = f"HTTP {error.code} {error.reason}".strip()
        raise ModelError(
            f"{endpoint} answered {status}" + (f": {detail}" if detail else "")
        ) from None
    except urllib.error.URLError as error:
        if isinstance(error.reason, TimeoutError):
            raise ModelError(too_slow) from None
        raise ModelError(
            f"cannot reach the model server at {endpoint}: {_describe(error.reason)}"
        ) from None
    except TimeoutError:
        raise ModelError(too_slow) from None
    except (OSError, http.client.HTTPException) as error:
        raise ModelError(f"the connection to {endpoint} failed: {_describe(error)}") from None
    return body


def post_chat(settings: ChatSettings, payload: Mapping[str, Any]) -> str:
    """Send one chat request and return the reply's text. Blocks for at most
    `settings.timeout` seconds in all; raises ModelError."""
    headers = {"Content-Type": "application/json", "Accept": "application/json"}
    if settings.api_key:
        headers["Authorization"] = f"Bearer {settings.api_key}"
    request = urllib.request.Request(
        settings.endpoint, data=json.dumps(payload).encode(), headers=headers, method="POST"
    )
    too_slow = (
        f"no answer from {settings.endpoint} within {settings.timeout:g} s"
        f" (set {ENV_TIMEOUT} to wait longer)"
    )
    body = b""
    with _Deadline(settings.timeout) as deadline:
        try:
            body = _exchange(settings, request, deadline, too_slow)
        except ModelError:
            # A connection shut down at the deadline fails in many ways.
            if not deadline.expired:
                raise
    # A reply cut short at the deadline may still look complete.
    if deadline.expired:
        raise ModelError(too_slow)
    return completion_content(body)


class DaemonThreadExecutor(concurrent.futures.Executor):
    """Runs each call on a daemon thread of its own.

    A pool's worker threads are joined when the loop and then the interpreter
    shut down, so a request still waiting on a slow model would hold the
    process open after Ctrl-C until its timeout ran out. A daemon thread
    ends with the process.
    """

    def submit(
        self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs
    ) -> concurrent.futures.Future[_T]:
        future: concurrent.futures.Future[_T] = concurrent.futures.Future()

        def work() -> None:
            if not future.set_running_or_notify_cancel():
                return
            try:
                result = fn(*args, **kwargs)
            except BaseException as error:
                future.set_exception(error)
            else:
                future.set_result(result)

        threading.Thread(target=work, name="chat-request", daemon=True).start()
        return future


class ChatClient:
    """Sends chat requests from asyncio code: the blocking HTTP call runs in a
    worker thread, so the event loop stays free while the model thinks, and
    each request reports on `out` when it is sent, while it waits, and when
    the reply arrives."""

    def __init__(self, settings: ChatSettings, out: TextIO | None = None) -> None:
        self.settings = settings
        self._out = out
        self._executor = DaemonThreadExecutor()

    def _say(self, text: str) -> None:
        print(text, file=self._out or sys.stdout, flush=True)

    async def _tick(self, label: str, started: float) -> None:
        while True:
            await asyncio.sleep(PROGRESS_INTERVAL)
            waited = time.monotonic() - started
            try:
                self._say(f"[model] {label}: waiting for the model... {waited:.0f} s")
            except OSError:
                # `out` is gone (a closed pipe): the request's own lines report it.
                return

    async def chat(
        self,
        label: str,
        system: str,
        messages: Messages,
        temperature: float | None = None,
        max_tokens: int | None = None,
    ) -> str:
        """Ask the model once; `label` names the request in progress lines and errors."""
        payload = build_payload(self.settings.model, system, messages, temperature, max_tokens)
        sampling = "" if max_tokens is None else f", max_tokens {max_tokens}"
        sampling += "" if temperature is None else f", temperature {temperature:g}"
        self._say(
            f"[model] {label}: request sent to {self.settings.endpoint}"
            f" (model {self.settings.model}{sampling})"
        )
        started = time.monotonic()
        ticker = asyncio.create_task(self._tick(label, started))
        try:
            reply = await asyncio.get_running_loop().run_in_executor(
                self._executor, post_chat, self.settings, payload
            )
        except ModelError as error:
            raise ModelError(f"{label} request: {error}") from None
        finally:
            ticker.cancel()
        elapsed = time.monotonic() - started
        self._say(f"[model] {label}: reply received after {elapsed:.1f} s ({len(reply)} chars)")
        return reply
