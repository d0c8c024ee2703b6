"""The dream-cycle demo: the scripted default, a run against the fake
OpenAI-compatible server, and the one-line errors for a server that is
unreachable, too slow, or answers with something that is not a chat
completion; Ctrl-C, --help and a closed stdout pipe.

Every process a test starts is reaped before the test ends, and none
relies on how it was started: a background job inherits SIGINT ignored."""

import importlib.util
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quorvane._internal import calvendry, consolidation, journal, ostrel
from quorvane._internal.brevick import Brevick

EXAMPLES = Path(__file__).parents[1] / "examples"
DEMO = EXAMPLES / "dream_cycle.py"


def _load(name):
    # dream_cycle imports chat_client by its plain name, as it does when run as a script.
    if name not in sys.modules:
        module_spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[name] = module
        module_spec.loader.exec_module(module)
    return sys.modules[name]


chat_client = _load("chat_client")
fake_model_server = _load("fake_model_server")
dream_cycle = _load("dream_cycle")


@pytest.fixture
def spawn():
    """Popen, with every process still running at the end of the test killed,
    and every one reaped and its pipes closed."""
    started = []

    def start(args, **options):
        process = subprocess.Popen(args, **options)
        started.append(process)
        return process

    yield start
    for process in started:
        with process:  # closes its pipes and waits
            if process.poll() is None:
                process.kill()


@pytest.fixture
def serve():
    servers = []

    def start(mode="ok", **options):
        server = fake_model_server.FakeModelServer(mode, **options).start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def demo_env(**settings):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_DEMO_")}
    env["PYTHONIOENCODING"] = "utf-8"
    env.update({f"QUORVANE_DEMO_{k.upper()}": str(v) for k, v in settings.items()})
    return env


def run_demo(*args, **settings):
    return subprocess.run(
        [sys.executable, str(DEMO), *args],
        env=demo_env(**settings),
        capture_output=True,
        encoding="utf-8",
        timeout=60,
    )


# Runs the demo with the SIGINT handler an interactive start gives it. A
# background job starts with SIGINT ignored, and Python keeps it ignored.
INTERACTIVE = (
    "import runpy, signal, sys, os; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "sys.argv = sys.argv[1:]; sys.path[0] = os.path.dirname(sys.argv[0]); "
    "runpy.run_path(sys.argv[0], run_name='__main__')"
)


def assert_one_line_error(result, *fragments):
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("dream_cycle: error: ")
    for fragment in fragments:
        assert fragment in lines[0]


def test_scripted_model_is_the_default():
    result = run_demo()
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    out = result.stdout
    assert "[model]" not in out and "Talking to" not in out
    assert "--- cleaned insight ---\nCustomers who ask about money twice" in out
    # The unparseable evolution reply is logged, not raised.
    assert "WARNING quorvane._internal.evolution" in out
    assert "verdict: (True, 'Refunds above 100 EUR go to human review.')" in out
    assert "(all jobs done" in out and "prompt hash " in out


@pytest.mark.parametrize("suffix", ["", "/v1/"])
def test_run_against_a_served_model(serve, suffix):
    server = serve(api_key="sekrit")
    result = run_demo(base_url=server.base_url + suffix, model="tiny-model", api_key="sekrit")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""

    requests = server.requests
    systems = [
        consolidation.build_consolidation_prompt([])[0],
        "You are a behavioral directive engine.",
        journal.build_journal_prompt([])[0],
        ostrel.CONVERGENCE_JUDGE_SYSTEM_PROMPT,
        calvendry.CALVENDRY_SYSTEM_PROMPT,
    ]
    assert len(requests) == len(systems)
    for request, system in zip(requests, systems, strict=True):
        assert request.method == "POST" and request.path == "/v1/chat/completions"
        assert request.headers["Authorization"] == "Bearer sekrit"
        assert request.headers["Content-Type"] == "application/json"
        assert request.body["model"] == "tiny-model"
        roles = [m["role"] for m in request.body["messages"]]
        assert roles == ["system", "user"]
        assert request.body["messages"][0]["content"].startswith(system)

    # The payload is the library's (system, messages) request as it stands.
    batch = dream_cycle.MEMORIES[: consolidation.MAX_CONSOLIDATION_INPUTS]
    system, messages = consolidation.build_consolidation_prompt(batch)
    assert requests[0].body["messages"] == [{"role": "system", "content": system}, *messages]
    # Every reply is bounded; only the evolution call has a known
    # temperature: the profile's.
    profile = Brevick.for_consumer_support()
    budgets = [
        dream_cycle.INSIGHT_TOKENS,
        dream_cycle.directive_tokens(profile.dream_evolve_max_per_cycle),
        dream_cycle.JOURNAL_TOKENS,
        dream_cycle.VERDICT_TOKENS,
        dream_cycle.TEAM_TOKENS,
    ]
    assert [r.body["max_tokens"] for r in requests] == budgets
    assert all(isinstance(b, int) and 0 < b <= 1024 for b in budgets)
    assert [r.body.get("temperature") for r in requests] == [
        None,
        profile.dream_evolve_temperature,
        None,
        None,
        None,
    ]
    assert "\n[ins-1]: Customers who ask" in requests[1].body["messages"][0]["content"]

    out = result.stdout
    assert "[model] consolidation: request sent to " in out
    assert "[model] team: reply received after " in out
    # The fake's quoted insight comes out clean.
    insight = fake_model_server.INSIGHT.strip('"')
    assert f"--- cleaned insight ---\n{insight}\n" in out
    assert "(all jobs done" in out and "--- team insight ---" in out


def _closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_unreachable_server():
    result = run_demo(base_url=f"http://127.0.0.1:{_closed_port()}", model="m")
    assert_one_line_error(result, "cannot reach the model server")


# "trickle" sends a byte every 0.1 s: each wait is short, the reply takes a minute.
@pytest.mark.parametrize(("mode", "delay"), [("slow", 30), ("trickle", 0.1)])
def test_slow_server_times_out(serve, mode, delay):
    server = serve(mode, delay=delay)
    started = time.monotonic()
    result = run_demo(base_url=server.base_url, model="m", timeout=1)
    assert time.monotonic() - started < 20
    assert_one_line_error(result, "consolidation request", "within 1 s", "QUORVANE_DEMO_TIMEOUT")


def test_a_trickled_reply_within_the_deadline_is_read(serve):
    server = serve("trickle", delay=0.0005)
    settings = chat_client.ChatSettings(chat_client.chat_endpoint(server.base_url), "m", None, 30)
    payload = chat_client.build_payload("m", ostrel.CONVERGENCE_JUDGE_SYSTEM_PROMPT, [])
    assert chat_client.post_chat(settings, payload) == fake_model_server.VERDICT


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT is POSIX")
def test_ctrl_c_while_waiting_exits_at_once(serve, spawn):
    server = serve("slow", delay=30)
    env = demo_env(base_url=server.base_url, model="m")
    demo = spawn(
        [sys.executable, "-c", INTERACTIVE, str(DEMO)],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    deadline = time.monotonic() + 20
    while not server.requests and time.monotonic() < deadline:
        time.sleep(0.02)
    demo.send_signal(signal.SIGINT)
    # The request's thread must not hold the process until the reply comes.
    _, err = demo.communicate(timeout=10)
    assert demo.returncode == 130
    assert err.decode().strip() == "dream_cycle: interrupted"


def test_help_prints_usage_and_runs_nothing():
    result = run_demo("--help")
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.startswith("usage: dream_cycle.py [-h]\n")
    assert "QUORVANE_DEMO_BASE_URL" in result.stdout and "Phase" not in result.stdout
    result = run_demo("--bogus")
    assert result.returncode == 2 and result.stdout == ""
    assert "unrecognized arguments: --bogus" in result.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="a closed pipe is an OSError there")
@pytest.mark.parametrize("served", [False, True], ids=["scripted", "served"])
def test_a_closed_stdout_pipe_ends_quietly(serve, spawn, served):
    # As `dream_cycle.py | head`: scripted, the reader is gone before the
    # first line (the first write fails wherever it happens, a log record
    # included); served, it leaves while a request waits in a queue job.
    settings = {}
    if served:
        server = serve("slow", delay=0.5)
        settings = {"base_url": server.base_url, "model": "m"}
    read_end, write_end = os.pipe()
    if not served:
        os.close(read_end)
    demo = spawn(
        [sys.executable, str(DEMO)],
        env=demo_env(**settings),
        stdout=write_end,
        stderr=subprocess.PIPE,
    )
    os.close(write_end)
    if served:
        with open(read_end, "rb") as reader:
            # Up to the first request (or the end, should the demo fail first).
            next((line for line in reader if b"request sent" in line), None)
    _, err = demo.communicate(timeout=30)
    assert (demo.returncode, err) == (1, b"")


@pytest.mark.parametrize(
    ("mode", "key", "fragments"),
    [
        ("malformed", "right", ["not JSON", "chatcmpl-fake"]),
        ("no-choices", "right", ["not a chat completion", "choices[0].message.content"]),
        ("error", "right", ["HTTP 500", "model failed to load: out of memory"]),
        ("ok", "wrong", ["HTTP 401", "Incorrect API key provided."]),
    ],
)
def test_bad_answers_are_one_line_errors(serve, mode, key, fragments):
    server = serve(mode, api_key="right")
    result = run_demo(base_url=server.base_url, model="m", api_key=key)
    assert_one_line_error(result, *fragments)
    assert "Traceback" not in result.stdout
    # The failed consolidation cancels the jobs queued after it: no more requests.
    assert len(server.requests) == 1


@pytest.mark.parametrize(
    ("base_url", "model", "timeout", "fragment"),
    [
        ("http://h:1", " ", "", "QUORVANE_DEMO_MODEL is not:"),
        ("localhost:8080", "m", "", "must be an http:// or https:// URL"),
        ("ftp://h/v1", "m", "", "must be an http:// or https:// URL"),
        *(
            ("http://h", "m", t, "must be a positive number")
            for t in ("0", "-1", "x", "nan", "inf")
        ),
    ],
)
def test_bad_settings(base_url, model, timeout, fragment):
    env = {
        "QUORVANE_DEMO_BASE_URL": base_url,
        "QUORVANE_DEMO_MODEL": model,
        "QUORVANE_DEMO_TIMEOUT": timeout,
    }
    with pytest.raises(chat_client.ModelError) as caught:
        chat_client.ChatSettings.from_env(env)
    assert fragment in str(caught.value)


def test_settings_and_endpoint_forms():
    assert chat_client.ChatSettings.from_env({}) is None
    settings = chat_client.ChatSettings.from_env(
        {"QUORVANE_DEMO_BASE_URL": " http://h:8/ ", "QUORVANE_DEMO_MODEL": "m"}
    )
    assert settings == chat_client.ChatSettings("http://h:8/v1/chat/completions", "m", None, 120.0)
    for base in (
        "http://h:8",
        "http://h:8/",
        "http://h:8/v1",
        "http://h:8/v1/",
        "http://h:8/v1/chat/completions",
    ):
        assert chat_client.chat_endpoint(base) == "http://h:8/v1/chat/completions"
    assert chat_client.chat_endpoint("https://h/api/v1") == "https://h/api/v1/chat/completions"


@pytest.mark.parametrize(
    ("body", "fragment"),
    [
        (b"", "not JSON"),
        (b"\xff\xfe garbage", "not JSON"),
        (b"[" * 100_000, "not JSON"),
        (b"null", "not a chat completion"),
        (b'{"choices": []}', "not a chat completion"),
        (b'{"choices": "text"}', "not a chat completion"),
        (b'{"choices": [{"message": {"content": null, "tool_calls": []}}]}', "not a chat"),
        (b'{"choices": [{"text": "legacy completion"}]}', "not a chat completion"),
        (b'{"error": {"message": "rate limited,\\n retry later"}}', "error: rate limited, retry"),
        (b'{"error": "model not found"}', "error: model not found"),
    ],
)
def test_reply_that_is_not_a_chat_completion(body, fragment):
    with pytest.raises(chat_client.ModelError) as caught:
        chat_client.completion_content(body)
    assert fragment in str(caught.value)
    assert "\n" not in str(caught.value)


def test_reply_content_is_returned_as_is():
    body = b'{"choices": [{"message": {"role": "assistant", "content": " \\u00e9\\n"}}]}'
    assert chat_client.completion_content(body) == " \u00e9\n"
