"""What the consolidation and journal tests share: a memory record, the
request's shape, the plain-Python rendering and reply cleaning (the
benchmarks measure against the same cleaning), and the lookup checks that
both builders must pass."""

import collections
import json
import sys

ABSENT = object()


def memory(
    content="c", event_type="note", created_at="2026-01-01T00:00:00Z", salience=ABSENT, **extra
):
    m = {"content": content, "event_type": event_type, "created_at": created_at, **extra}
    if salience is not ABSENT:
        m["salience"] = salience
    return m


def request_text(build, system, memories):
    """The user message of build(memories), after checking the request's shape."""
    got_system, messages = build(memories)
    assert got_system is system
    assert isinstance(messages, list) and len(messages) == 1
    (msg,) = messages
    assert list(msg) == ["role", "content"] and msg["role"] == "user"
    return msg["content"]


def plain_text(value):
    """How a field goes into a line: a str as the text it holds, anything else as str()."""
    return str.__str__(value) if isinstance(value, str) else str(value)


def plain_message(memories, user, salience=False):
    """The user message written with json.dumps and str.format."""
    lines = []
    for i, m in enumerate(memories, 1):
        content = m["content"]
        if isinstance(content, dict):
            content = json.dumps(content, ensure_ascii=True, default=str)
        head = f"[{i}] ({plain_text(m['event_type'])}, "
        if salience:
            head += "salience=" + (plain_text(m["salience"]) if "salience" in m else "N/A") + ", "
        lines.append(head + f"{plain_text(m['created_at'])}): {plain_text(content)}")
    return user.format(count=len(memories), formatted_memories="\n".join(lines))


def plain_clean(text):
    """The reply cleaning: str.strip (the library's whitespace set), one ```
    fence, one pair of double quotes, stripping again after each."""
    text = text.strip()
    if text.startswith("```") and text.endswith("```"):
        text = text[3:-3].strip() if len(text) > 6 else ""
    if text.startswith('"') and text.endswith('"'):
        text = text[1:-1].strip() if len(text) > 2 else ""
    return text


def lookup_order(build, **fields):
    """The keys build() looks up in one memory, and when it renders content."""
    seen = []

    class Logged(dict):
        def __getitem__(self, key):
            seen.append(key)
            return super().__getitem__(key)

    class Loud:
        def __str__(self):
            seen.append("str(content)")
            return "loud"

    build([Logged(memory(Loud(), **fields))])
    return seen


def assert_missing_key(build, key, **fields):
    """A memory without `key`, after a complete one, raises KeyError(key)
    exactly, noted with its place on 3.11+, as a dict and as another mapping."""
    import pytest  # here, so the benchmarks can import this module without it

    broken = memory(**fields)
    del broken[key]
    for kind in (dict, collections.UserDict):
        with pytest.raises(KeyError) as info:
            build([memory(), kind(broken), memory()])
        assert type(info.value) is KeyError and info.value.args == (key,)
        if sys.version_info >= (3, 11):
            assert info.value.__notes__ == ["memories[1]"]
