"""consolidation: building the insight request and cleaning the reply, against
the same work written with json.dumps, f-strings and str.strip."""

import gc
import json
import os
import subprocess
import sys
import threading

from plain_reply import plain_clean
from sweep import COUNTS, LENGTHS, pair, repeat_to

from quorvane._internal import consolidation as c

SYSTEM = c._CONSOLIDATION_SYSTEM
USER = c._CONSOLIDATION_USER


def plain_build(memories):
    lines = []
    for i, m in enumerate(memories, 1):
        content = m["content"]
        if isinstance(content, dict):
            content = json.dumps(content, ensure_ascii=True, default=str)
        lines.append(f"[{i}] ({m['event_type']}, {m['created_at']}): {content}")
    text = USER.format(count=len(memories), formatted_memories="\n".join(lines))
    return SYSTEM, [{"role": "user", "content": text}]


def dict_memory(i):
    return {
        "id": f"m-{i}",
        "event_type": "tool_call",
        "created_at": f"2026-11-02T09:{i % 60:02d}:11Z",
        "content": {
            "tool": "billing.lookup",
            "notes": ["prorated", "14-day window", i],
            "amount": 119.5 + i,
            "refundable": i % 2 == 0,
            "customer": {"city": "Zurich", "tier": 2},
        },
    }


def text_memory(i):
    return {
        "id": f"m-{i}",
        "event_type": "conversation",
        "created_at": f"2026-11-02T09:{i % 60:02d}:00Z",
        "content": f"Customer {i} asked twice for a refund of the annual plan"
        " before reading the FAQ.",
    }


def _big_content(i):
    return {"id": i, "rows": [{"k": f"row-{j}", "v": j * 0.5} for j in range(12_500)]}


def mixed(n):
    return [dict_memory(i) if i % 2 else text_memory(i) for i in range(n)]


assert c.build_consolidation_prompt(mixed(50)) == plain_build(mixed(50))

SHORT = (
    '```\n"Refund questions repeat when the policy link is missing from the first answer."\n```\n'
)
LONG = '```\n"' + ("Insight text with some words. " * 35000)[: 1 << 20] + '"\n```\n'
assert c.parse_consolidation_output(LONG) == plain_clean(LONG)

CASES = []
for n in (1, 20, 10_000):
    batch = [dict_memory(i) for i in range(n)]
    CASES.append(
        (
            f"build_consolidation_prompt {n} dict memories",
            lambda b=batch: c.build_consolidation_prompt(b),
            lambda b=batch: plain_build(b),
        )
    )
for n in (20, 10_000):
    batch = [text_memory(i) for i in range(n)]
    CASES.append(
        (
            f"build_consolidation_prompt {n} text memories",
            lambda b=batch: c.build_consolidation_prompt(b),
            lambda b=batch: plain_build(b),
        )
    )
batch = [dict(dict_memory(i), content=_big_content(i)) for i in range(3)]
CASES.append(
    (
        "build_consolidation_prompt 3 large dict memories",
        lambda b=batch: c.build_consolidation_prompt(b),
        lambda b=batch: plain_build(b),
    )
)
batch = mixed(10_000)
CASES.append(
    (
        "build_consolidation_prompt 10000 mixed memories",
        lambda: c.build_consolidation_prompt(batch),
        lambda: plain_build(batch),
    )
)
CASES += [
    (
        "parse_consolidation_output short reply",
        lambda: c.parse_consolidation_output(SHORT),
        lambda: plain_clean(SHORT),
    ),
    (
        "parse_consolidation_output 1 MB reply",
        lambda: c.parse_consolidation_output(LONG),
        lambda: plain_clean(LONG),
    ),
]


def _reply(length):
    return '```\n"' + repeat_to("Insight text with some words. ", length) + '"\n```\n'


SWEEPS = [
    (
        "build_consolidation_prompt",
        "memories (half dict, half text)",
        COUNTS,
        lambda n: pair(c.build_consolidation_prompt, plain_build, mixed(n)),
    ),
    (
        "parse_consolidation_output",
        "reply length (characters)",
        LENGTHS,
        lambda n: pair(c.parse_consolidation_output, plain_clean, _reply(n)),
    ),
]


# --- memory a thread keeps after building a prompt -----------------------------

RETENTION_THREADS = 200


# Batches whose prompt is about 1 MB, in the shapes that stress different
# buffers: one long ASCII run of JSON lines, a few very large JSON contents,
# and text contents between short JSON ones.
RETENTION_BATCHES = {
    "dict memories": lambda: [dict_memory(i) for i in range(4_500)],
    "large dicts": lambda: [dict(dict_memory(i), content=_big_content(i)) for i in range(3)],
    "mixed memories": lambda: mixed(7_400),
}


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _retained_by_threads(build, batch):
    """RSS growth while every thread that built one prompt is still alive."""
    build(batch)  # warm up the main thread and the allocator
    built = threading.Barrier(RETENTION_THREADS + 1)
    release = threading.Event()

    def work():
        build(batch)
        built.wait()
        release.wait()

    gc.collect()
    before = _rss_bytes()
    threads = [threading.Thread(target=work) for _ in range(RETENTION_THREADS)]
    for t in threads:
        t.start()
    built.wait()
    gc.collect()
    during = _rss_bytes()
    release.set()
    for t in threads:
        t.join()
    return during - before


def main():
    """Reports the RSS that RETENTION_THREADS live threads hold after each
    built one prompt, ours against the plain-Python builder, each measure in a
    fresh process."""
    if len(sys.argv) > 2:
        build = c.build_consolidation_prompt if sys.argv[1] == "ours" else plain_build
        print(_retained_by_threads(build, RETENTION_BATCHES[sys.argv[2]]()))
        return
    print(f"RSS held by {RETENTION_THREADS} live threads after one prompt each:")
    for shape, make in RETENTION_BATCHES.items():
        size = len(c.build_consolidation_prompt(make())[1][0]["content"])
        held = {}
        for which in ("ours", "plain"):
            out = subprocess.run(
                [sys.executable, __file__, which, shape], check=True, capture_output=True, text=True
            )
            held[which] = int(out.stdout) / 2**20
        print(
            f"  {shape:<16} {size / 1e6:5.2f} MB prompt: ours {held['ours']:+7.1f} MiB,"
            f" plain {held['plain']:+7.1f} MiB"
        )


if __name__ == "__main__":
    main()
