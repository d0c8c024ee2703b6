"""A small client for OpenAI-compatible chat servers (a local llama.cpp server,
Ollama, vLLM, or a hosted API), written with the standard library only.

The dream-cycle demo uses it when QUORVANE_DEMO_BASE_URL is set:

    QUORVANE_DEMO_BASE_URL   the server, e.g. http://127.0.0.1:8080 (a trailing /v1 is fine)
    QUORVANE_DEMO_MODEL      the model to ask for
    QUORVANE_DEMO_API_KEY    sent as "Authorization: Bearer ..." when set
    QUORVANE_DEMO_TIMEOUT    seconds to wait for the server (default 120)

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
    model: str, system: str, messages: Messages, temperature: float | None = None
) -> dict[str, Any]:
    """The request body for one (system, messages) chat request."""
    payload: dict[str, Any] = {
        "model": model,
        "messages": [{"role": "system", "content": system}, *messages],
    }
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


def _opener(endpoint: str) -> urllib.request.OpenerDirector:
    # A server on this machine is reached directly, whatever proxy the
    # environment names for the outside world.
    host = urlsplit(endpoint).hostname or ""
    if host in ("localhost", "::1") or host.startswith("127."):
        return urllib.request.build_opener(urllib.request.ProxyHandler({}))
    return urllib.request.build_opener()


def post_chat(settings: ChatSettings, payload: Mapping[str, Any]) -> str:
    """Send one chat request and return the reply's text. Blocks; raises ModelError."""
    headers = {"Content-Type": "application/json", "Accept": "application/json"}
    if settings.api_key:
        headers["Authorization"] = f"Bearer {settings.api_key}"
    request = urllib.request.Request(
        settings.endpoint, data=json.dumps(payload).encode(), headers=headers, method="POST"
    )
    endpoint = settings.endpoint
    too_slow = (
        f"no answer from {endpoint} within {settings.timeout:g} s"
        f" (set {ENV_TIMEOUT} to wait longer)"
    )
    try:
        with _opener(endpoint).open(request, timeout=settings.timeout) as response:
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
            self._say(f"[model] {label}: waiting for the model... {waited:.0f} s")

    async def chat(
        self, label: str, system: str, messages: Messages, temperature: float | None = None
    ) -> str:
        """Ask the model once; `label` names the request in progress lines and errors."""
        payload = build_payload(self.settings.model, system, messages, temperature)
        sampling = "" if temperature is None else f", temperature {temperature:g}"
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
