"""A fake OpenAI-compatible chat server that plays the model of the dream-cycle demo.

Run the demo against it, end to end (starts the server, points the demo at
it, runs the demo in a subprocess and exits with the demo's status):

    python examples/fake_model_server.py --run-demo

Or serve until Ctrl-C and point the demo (or anything else) at it yourself:

    python examples/fake_model_server.py --port 8080

It listens on 127.0.0.1 (an ephemeral port unless --port is given) and
answers POST /v1/chat/completions. It recognises the dream-cycle phase from
the system prompt and answers with a plausible reply for it; the evolution
reply cites the insight ids the prompt lists. With --api-key (the default
for --run-demo) it wants that key as a bearer token. --mode picks how it
misbehaves, to try the demo's error reporting:

    ok          plausible replies (the default)
    slow        waits --delay seconds before each reply
    trickle     sends each reply, status line included, one byte every --delay
                seconds: no single wait is long, the whole reply takes minutes
    malformed   answers 200 with a truncated body that is not JSON
    no-choices  answers 200 with JSON that is not a chat completion
    error       answers HTTP 500 with an OpenAI-style error message

    python examples/fake_model_server.py --run-demo --mode slow --delay 7
    python examples/fake_model_server.py --run-demo --mode slow --delay 5 --timeout 2
    python examples/fake_model_server.py --run-demo --mode trickle --delay 0.1 --timeout 3
    python examples/fake_model_server.py --run-demo --mode malformed
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from types import TracebackType
from typing import Any, cast

MODES = ("ok", "slow", "trickle", "malformed", "no-choices", "error")
CHAT_PATH = "/v1/chat/completions"
MAX_REQUEST_BYTES = 4 << 20

INSIGHT = (
    '"Customers who ask about money twice usually have not yet seen the written policy; '
    'quoting the exact rule with one link settles the thread faster than a long explanation."'
)
JOURNAL = (
    "The week circled around answers people already had within reach. A refund question "
    "came twice before anyone read the policy page, though the billing lookup showed the "
    "plan was refundable all along. Monday's shipping questions were answered, again, by "
    "the tracking page. The warmest thanks went to the shortest reply: one rule, one link."
)
DIRECTIVES = (
    "When a refund is asked for twice, quote the refund rule and link the policy.",
    "When a question matches a help page, send its link before explaining.",
    "When an answer runs past three sentences, offer the short version first.",
)
VERDICT = "CONVERGED|Refunds above 100 EUR go to human review, and billing will route them."
TEAM = (
    "Our threads end fastest when we quote the written rule and link the page that holds "
    "it; refunds above 100 EUR are the one case that needs a human."
)


def reply_for(system: str) -> str:
    """A plausible reply to a dream-cycle request, told apart by its system prompt."""
    if "memory consolidation engine" in system:
        return INSIGHT
    if "journal synthesis engine" in system:
        return JOURNAL
    if "behavioral directive engine" in system:
        ids = re.findall(r"^\[([^\]\n]+)\]: ", system, flags=re.MULTILINE)
        limit = re.search(r"at most (\d+) new", system)
        count = min(len(DIRECTIVES), int(limit.group(1)) if limit else 1, max(len(ids), 1))
        proposed = [
            {"text": text, "source_insight_id": ids[i % len(ids)] if ids else ""}
            for i, text in enumerate(DIRECTIVES[:count])
        ]
        return json.dumps({"proposed": proposed})
    if "thread-completion classifier" in system:
        return VERDICT
    if "collective synthesis voice" in system:
        return TEAM
    return "I am a fake model: I only know the requests of the dream cycle."


@dataclass(frozen=True)
class RecordedRequest:
    """One request as the server received it; `body` is None if it was not JSON."""

    method: str
    path: str
    headers: dict[str, str]
    body: Any


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    fake: FakeModelServer


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeModel/1.0"

    @property
    def fake(self) -> FakeModelServer:
        return cast(_Server, self.server).fake

    def log_message(self, format: str, *args: Any) -> None:
        if self.fake.verbose:
            sys.stderr.write(f"fake model: {format % args}\n")

    def _send(self, status: int, body: bytes, content_type: str = "application/json") -> None:
        try:
            if self.fake.mode == "trickle":
                self._trickle(status, body, content_type)
                return
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass  # the client gave up waiting

    def _trickle(self, status: int, body: bytes, content_type: str) -> None:
        self.log_request(status, len(body))
        head = (
            f"{self.protocol_version} {status} {self.responses[status][0]}\r\n"
            f"Server: {self.version_string()}\r\n"
            f"Content-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\n\r\n"
        )
        for byte in head.encode("latin-1") + body:
            if self.fake.closing.wait(self.fake.delay):
                self.close_connection = True  # shutting down: drop the reply
                return
            self.wfile.write(bytes((byte,)))

    def _send_error(self, status: int, message: str, kind: str) -> None:
        body = {"error": {"message": message, "type": kind, "code": None}}
        self._send(status, json.dumps(body).encode())

    def do_GET(self) -> None:
        if self.path.rstrip("/") == "/v1/models":
            models = {"object": "list", "data": [{"id": "fake-model", "object": "model"}]}
            self._send(200, json.dumps(models).encode())
        else:
            self._send_error(404, f"no route for GET {self.path}", "not_found_error")

    def do_POST(self) -> None:
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_REQUEST_BYTES:
            self.close_connection = True
            self._send_error(400, "missing or oversized Content-Length", "invalid_request_error")
            return
        raw = self.rfile.read(length)
        try:
            body: Any = json.loads(raw)
        except (ValueError, RecursionError):
            body = None
        self.fake.record(RecordedRequest("POST", self.path, dict(self.headers.items()), body))

        if self.path.rstrip("/") != CHAT_PATH:
            self._send_error(404, f"no route for POST {self.path}", "not_found_error")
            return
        key = self.fake.api_key
        if key and self.headers.get("Authorization") != f"Bearer {key}":
            self._send_error(401, "Incorrect API key provided.", "invalid_request_error")
            return
        messages = body.get("messages") if isinstance(body, dict) else None
        if not isinstance(messages, list) or not all(isinstance(m, dict) for m in messages):
            self._send_error(400, "'messages' must be a list of objects", "invalid_request_error")
            return

        mode = self.fake.mode
        if mode == "slow" and self.fake.closing.wait(self.fake.delay):
            self.close_connection = True  # shutting down: drop the request
            return
        if mode == "malformed":
            self._send(200, b'{"id": "chatcmpl-fake", "choices": [{"message": {"content": "Cust')
            return
        if mode == "no-choices":
            self._send(200, json.dumps({"object": "list", "data": []}).encode())
            return
        if mode == "error":
            self._send_error(500, "model failed to load: out of memory", "server_error")
            return

        system = next(
            (m.get("content") for m in messages if m.get("role") == "system"),
            "",
        )
        content = reply_for(system if isinstance(system, str) else "")
        completion = {
            "id": f"chatcmpl-fake-{self.fake.count}",
            "object": "chat.completion",
            "created": int(time.time()),
            "model": body.get("model", "fake-model"),
            "choices": [
                {
                    "index": 0,
                    "message": {"role": "assistant", "content": content},
                    "finish_reason": "stop",
                }
            ],
            "usage": {"prompt_tokens": len(raw) // 4, "completion_tokens": len(content) // 4},
        }
        self._send(200, json.dumps(completion).encode())


class FakeModelServer:
    """The fake server, run on a background thread:

    with FakeModelServer(mode="ok") as server:
        ...  # point a client at server.base_url; server.requests lists what came in
    """

    def __init__(
        self,
        mode: str = "ok",
        *,
        delay: float = 3.0,
        api_key: str | None = None,
        port: int = 0,
        verbose: bool = False,
    ) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
        self.mode = mode
        self.delay = delay
        self.api_key = api_key
        self.verbose = verbose
        self.closing = threading.Event()
        self._lock = threading.Lock()
        self._requests: list[RecordedRequest] = []
        self._httpd = _Server(("127.0.0.1", port), _Handler)
        self._httpd.fake = self
        self._thread = threading.Thread(
            target=self._httpd.serve_forever,
            kwargs={"poll_interval": 0.05},  # how soon close() takes effect
            name="fake-model-server",
            daemon=True,
        )

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}"

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._requests)

    @property
    def count(self) -> int:
        with self._lock:
            return len(self._requests)

    def record(self, request: RecordedRequest) -> None:
        with self._lock:
            self._requests.append(request)

    def start(self) -> FakeModelServer:
        self._thread.start()
        return self

    def close(self) -> None:
        self.closing.set()  # wakes slow replies
        if self._thread.is_alive():
            self._httpd.shutdown()
            self._thread.join()
        self._httpd.server_close()

    def __enter__(self) -> FakeModelServer:
        return self.start()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def demo_environment(
    server: FakeModelServer, model: str, timeout: float | None = None
) -> dict[str, str]:
    """The environment that points examples/dream_cycle.py at `server`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_DEMO_")}
    env["QUORVANE_DEMO_BASE_URL"] = server.base_url + "/v1"
    env["QUORVANE_DEMO_MODEL"] = model
    if server.api_key:
        env["QUORVANE_DEMO_API_KEY"] = server.api_key
    if timeout is not None:
        env["QUORVANE_DEMO_TIMEOUT"] = f"{timeout:g}"
    return env


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--run-demo", action="store_true", help="run examples/dream_cycle.py")
    parser.add_argument("--mode", choices=MODES, default="ok")
    parser.add_argument(
        "--delay", type=float, default=3.0, help="seconds, for --mode slow and trickle"
    )
    parser.add_argument("--port", type=int, default=0, help="default: an ephemeral port")
    parser.add_argument(
        "--api-key", help="the bearer token to require (default: none; 'fake-key' with --run-demo)"
    )
    parser.add_argument("--model", default="fake-model", help="the model name the demo asks for")
    parser.add_argument("--timeout", type=float, help="QUORVANE_DEMO_TIMEOUT for --run-demo")
    args = parser.parse_args(argv)
    api_key = args.api_key if args.api_key is not None or not args.run_demo else "fake-key"

    try:
        server = FakeModelServer(
            args.mode,
            delay=args.delay,
            api_key=api_key or None,
            port=args.port,
            verbose=not args.run_demo,
        )
    except OSError as error:
        print(f"fake model: cannot listen on port {args.port}: {error.strerror}", file=sys.stderr)
        return 1
    with server:
        if args.run_demo:
            env = demo_environment(server, args.model, args.timeout)
            demo = Path(__file__).with_name("dream_cycle.py")
            try:
                return subprocess.run([sys.executable, str(demo)], env=env).returncode
            except KeyboardInterrupt:
                return 130
        print(f"fake model: serving on {server.base_url} in mode {args.mode!r}; Ctrl-C stops")
        print(f"  export QUORVANE_DEMO_BASE_URL={server.base_url}/v1")
        print(f"  export QUORVANE_DEMO_MODEL={args.model}")
        if api_key:
            print(f"  export QUORVANE_DEMO_API_KEY={api_key}")
        sys.stdout.flush()
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
