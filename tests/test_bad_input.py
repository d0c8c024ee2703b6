"""Every public entry point against every wrong kind of argument.

One matrix: each row of SLOTS puts a value into one argument of one public
function (or into one element or field that the function reads) and names a
reference written plainly in Python with the standard library. Each column
of VALUES is one kind of value: wrong types, str and dict subclasses, foreign
mappings, objects whose dunders raise or lie, values that edit the containers
being read, huge and special numbers, odd code points and a 100 MB text.

A cell passes when the call gives what the reference gives for the same
arguments: the same result, or an exception of the same type. Values that
edit containers are compared with a quiet twin that prints and converts the
same way without editing anything: the library reads a list or record as it
was when the call started. No cell may crash, hang or raise SystemError.
"""

import array
import asyncio
import collections.abc
import dataclasses
import decimal
import fractions
import functools
import hashlib
import inspect
import json
import logging
import math
import operator

import numpy as np
import pytest
from hostile import BadStr, Boom, GetitemRaises, Quiet, Record
from support import same

from quorvane._internal import (
    brevick,
    calvendry,
    consolidation,
    evolution,
    journal,
    mirrandel,
    ostrel,
    trellan,
)
from quorvane._internal.brevick import Brevick

# --- values ----------------------------------------------------------------------------


class StrSub(str):
    pass


class DictSub(dict):
    pass


class IntSub(int):
    """An int that prints as a word; JSON and the decimal forms ignore that."""

    def __str__(self):
        return "five"

    __repr__ = __str__


class FloatSub(float):
    def __str__(self):
        return "half"

    __repr__ = __str__


class FrozenSub(frozenset):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    __slots__ = ()


class EqBoolRaises:
    """A key that collides with "content"; its __eq__ answers with an object
    whose truth value raises."""

    armed = False

    def __hash__(self):
        return hash("content")

    def __eq__(self, other):
        return BadBool() if self.armed else False

    def __repr__(self):
        return "EqBoolRaises()"


def eq_answer_raises():
    key = EqBoolRaises()
    record = {key: 0, **FIELDS}
    key.armed = True
    return record


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")


class StrWrongType:
    def __str__(self):
        return 3

    def __repr__(self):
        return b"r"


class BadRepr:
    """str() falls back to __repr__, which raises."""

    def __repr__(self):
        raise Boom("__repr__")


class BadEq:
    # Collides with the ids and field names the slots look up, so a lookup
    # that meets it has to call __eq__.
    def __hash__(self):
        return hash("ins-1")

    def __eq__(self, other):
        raise Boom("__eq__")

    def __repr__(self):
        return "BadEq()"


class BadHash:
    def __hash__(self):
        raise Boom("__hash__")

    def __repr__(self):
        return "BadHash()"


class BadLt:
    def __lt__(self, other):
        raise Boom("__lt__")

    __gt__ = __le__ = __ge__ = __lt__

    def __repr__(self):
        return "BadLt()"


class BadFloat:
    def __float__(self):
        raise Boom("__float__")

    def __repr__(self):
        return "BadFloat()"


class FloatWrongType:
    def __float__(self):
        return "1.0"

    def __repr__(self):
        return "FloatWrongType()"


class BadIndex:
    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "BadIndex()"


class IndexWrongType:
    def __index__(self):
        return 1.5

    def __repr__(self):
        return "IndexWrongType()"


class IndexGivesSubclass:
    """__index__ and __float__ answer with subclasses, which the interpreter
    deprecates: under this suite's warnings-as-errors that is an error."""

    def __index__(self):
        return IntSub(4)

    def __float__(self):
        return FloatSub(0.5)

    def __repr__(self):
        return "IndexGivesSubclass()"


class Mutator(Quiet):
    """Clears or grows every container of the call when str() or float() reads
    it, or calls every function of the library from there ("reenter")."""

    def __init__(self, on, how):
        self.on, self.how, self.targets = on, how, []

    fired = False

    def _edit(self):
        self.fired = True
        if self.how == "reenter":
            reenter_everything()
            return
        for c in self.targets:
            if self.how == "clear":
                c.clear()
            elif isinstance(c, list):
                c.extend(object() for _ in range(1000))
            else:
                c.update((f"junk{i}", object()) for i in range(1000))

    def __str__(self):
        if self.on == "str":
            self._edit()
        return self.text

    def __float__(self):
        if self.on == "float":
            self._edit()
        return self.number


def reenter_everything():
    """Call every pure function from inside a conversion, with inputs large
    enough to use the buffers that the outer call may hold."""
    text = "Refund the order |  " * 500
    memory = {"content": {"k": [text, 1.5]}, "event_type": "e", "created_at": "t", "salience": 1}
    consolidation.build_consolidation_prompt([memory, {**memory, "content": text}])
    journal.build_journal_prompt([memory])
    consolidation.parse_consolidation_output(f'```\n"{text}"\n```')
    journal.parse_journal_output(text)
    evolution.build_evolution_prompt([{"id": "a", "text": text}], [text], 3, text)
    evolution.parse_evolution_output(json.dumps({"proposed": [{"text": text}]}), {"a"})
    mirrandel.classify_directive_domain(text)
    ostrel.cosine_similarity([1.0] * 500, [2.0] * 500)
    ostrel.build_convergence_prompt([("a", text)])
    ostrel.parse_convergence_verdict("CONVERGED|" + text)
    calvendry.compute_prompt_hash(calvendry.build_calvendry_prompt([Row(text, 0.5)]))
    brevick.replace(PROFILE, decay_factor=0.5)


class MutatingKey:
    """A dict key equal in hash to a field name; comparing it grows its dict."""

    def __init__(self, name, quiet=False):
        self.name, self.quiet, self.owner = name, quiet, None

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not self.quiet and self.owner is not None:
            owner, self.owner = self.owner, None
            owner.update((f"k{i}", i) for i in range(200))
        return False

    def __repr__(self):
        return f"MutatingKey({self.name!r})"


# A record that works as a memory, an insight and a content.
FIELDS = {"content": "c", "event_type": "e", "created_at": "t", "id": "i", "text": "x"}


def keyed_record(quiet=False):
    """FIELDS with keys that collide with "content" and "id" and grow the record."""
    keys = [MutatingKey("content", quiet), MutatingKey("id", quiet)]
    record = {keys[0]: 0, keys[1]: 1, **FIELDS}
    for key in keys:
        key.owner = record
    return record


# Duplicate names (the last wins), bare NaN, escaped lone surrogates and NULs,
# entries of the wrong kinds.
TRICKY_JSON = (
    '```json\n{"proposed": [{"text": "dropped"}], "proposed": [NaN, {"text": " \\ud800 x ",'
    ' "source_insight_id": "ins-1"}, {"text": 5}, {"text": "\\u0000y", "source_insight_id":'
    ' ["ins-1"]}, {"text": "  "}, [], {"text": "z", "text": "last", "source_insight_id": null}]}\n```'
)

BIG_CHUNK = "lorem-ipsum-dolor-sit-amet-consectetur-adipiscing-elit-sed-do "


@functools.cache
def big_text():
    """About 100 MB: a fenced, quoted reply with a pipe, ending in a keyword."""
    body = BIG_CHUNK * (100_000_000 // len(BIG_CHUNK))
    return ' \n```json\n"a [{"b| ' + body + 'refund"\n```  '


VALUES = {
    "none": lambda: None,
    "int": lambda: 7,
    "float": lambda: 1.5,
    "bool": lambda: True,
    "bytes": lambda: b"abc",
    "list": lambda: ["x"],
    "tuple": lambda: ("x",),
    "dict": lambda: dict(FIELDS),
    "object": object,
    "str_subclass": lambda: StrSub("abc"),
    "dict_subclass": lambda: DictSub(FIELDS),
    "mapping": lambda: Record(FIELDS),
    "getitem_raises": lambda: GetitemRaises(FIELDS),
    "str_raises": BadStr,
    "str_wrong_type": StrWrongType,
    "repr_raises": BadRepr,
    "eq_raises": BadEq,
    "hash_raises": BadHash,
    "lt_raises": BadLt,
    "float_raises": BadFloat,
    "float_wrong_type": FloatWrongType,
    "index_raises": BadIndex,
    "index_wrong_type": IndexWrongType,
    "conversions_give_subclasses": IndexGivesSubclass,
    "str_clears": lambda: Mutator("str", "clear"),
    "str_extends": lambda: Mutator("str", "extend"),
    "float_clears": lambda: Mutator("float", "clear"),
    "float_extends": lambda: Mutator("float", "extend"),
    "str_reenters": lambda: Mutator("str", "reenter"),
    "float_reenters": lambda: Mutator("float", "reenter"),
    "key_eq_mutates": keyed_record,
    "eq_answer_raises": eq_answer_raises,
    "int_subclass": lambda: IntSub(5),
    "float_subclass": lambda: FloatSub(0.5),
    "list_subclass": lambda: ListSub([dict(FIELDS)]),
    "tuple_subclass": lambda: TupleSub(("s", "t")),
    "set": lambda: {"ins-1", "x"},
    "frozenset_subclass": lambda: FrozenSub({"ins-1", "x"}),
    "field_name_subclass": lambda: StrSub("archive_days"),
    "deep_json": lambda: "[" * 100_000 + "]" * 100_000,
    "tricky_json": lambda: TRICKY_JSON,
    "int_past_str_limit": lambda: 10**5000,
    "np_float64": lambda: np.float64(0.5),
    "np_int64": lambda: np.int64(5),
    "np_bool": lambda: np.True_,
    "np_int_array": lambda: np.arange(3),
    "np_matrix": lambda: np.ones((2, 2)),
    "np_scalar_array": lambda: np.array(2.5),
    "decimal": lambda: decimal.Decimal("123456789012345678901234567890.7"),
    "decimal_past_float": lambda: decimal.Decimal("-1e400"),
    "fraction": lambda: fractions.Fraction(10**30 + 1, 3),
    "huge_int": lambda: 10**400,
    "min_int64": lambda: -(2**63),
    "two_to_64": lambda: 2**64,
    "nan": lambda: math.nan,
    "inf": lambda: math.inf,
    "minus_inf": lambda: -math.inf,
    "int_buffer": lambda: array.array("i", [1, 2]),
    "matrix_view": lambda: memoryview(array.array("d", [1.0, 2.0])).cast("B").cast("d", (1, 2)),
    "lone_surrogate": lambda: "a\ud800b",
    "all_whitespace": lambda: WHITESPACE,
    "fence_alone": lambda: " ``` ",
    "six_backticks": lambda: "``````",
    "quote_alone": lambda: '"',
    "fenced_quoted_surrogate": lambda: '\u3000```json\n"\udfff | x"\n```\x85',
    "pipe_alone": lambda: "|",
    "open_verdict": lambda: " open |\u2028\t",
    "astral": lambda: "\U0010ffff\U0001f600 CONVERGED|\U0001f600",
    "nul": lambda: "a\0b",
    "big_text": big_text,
}


def twin(v):
    """What the reference sees for v: a quiet stand-in for a value that edits."""
    if isinstance(v, Mutator):
        return Quiet()
    if isinstance(v, dict) and any(isinstance(k, MutatingKey) for k in v):
        return keyed_record(quiet=True)
    return v


def hashable(v):
    try:
        hash(v)
    except Exception:
        return False
    return True


# --- references: the documented behaviour, written plainly -----------------------------

WHITESPACE = "".join(map(chr, [*range(9, 14), *range(0x1C, 0x21), 0x85, 0xA0, 0x1680]))
WHITESPACE += "".join(map(chr, [*range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))


def trim(s):
    return s.strip(WHITESPACE)


def must_be(value, kinds):
    if not isinstance(value, kinds):
        raise TypeError(type(value).__name__)
    return value


def exact_int(value):
    if type(value) is bool:
        raise TypeError("bool")
    return must_be(value, int)


def ref_clean_reply(response):
    text = trim(must_be(response, str))
    if text.startswith("```") and text.endswith("```"):
        text = trim(text[3:-3]) if len(text) > 6 else ""
    if text.startswith('"') and text.endswith('"'):
        text = trim(text[1:-1]) if len(text) > 2 else ""
    return text


def ref_memory_prompt(memories, system, user, salience):
    """Fields looked up in the order content, event_type, salience, created_at
    for every record, then rendered."""
    must_be(memories, list)
    records = []
    for m in memories:
        must_be(m, collections.abc.Mapping)
        r = {"content": m["content"], "event_type": m["event_type"]}
        if salience:
            r["salience"] = m["salience"] if "salience" in m else NO_SALIENCE
        r["created_at"] = m["created_at"]
        records.append(r)
    lines = []
    for i, r in enumerate(records, 1):
        c = r["content"]
        shown = json.dumps(c, ensure_ascii=True, default=str) if isinstance(c, dict) else str(c)
        head = f"[{i}] ({str(r['event_type'])}, "
        if salience:
            s = r["salience"]
            head += "salience=" + ("N/A" if s is NO_SALIENCE else str(s)) + ", "
        lines.append(head + f"{str(r['created_at'])}): {shown}")
    text = user.format(count=len(records), formatted_memories="\n".join(lines))
    return system, [{"role": "user", "content": text}]


NO_SALIENCE = object()


def ref_consolidation_prompt(memories):
    return ref_memory_prompt(
        memories, consolidation._CONSOLIDATION_SYSTEM, consolidation._CONSOLIDATION_USER, False
    )


def ref_journal_prompt(memories):
    return ref_memory_prompt(memories, journal._JOURNAL_SYSTEM, journal._JOURNAL_USER, True)


def ref_evolution_prompt(insights, directives, max_per_cycle, style_guidance=None):
    must_be(insights, list)
    must_be(directives, list)
    exact_int(max_per_cycle)
    if style_guidance is not None:
        must_be(style_guidance, str)
    for ins in insights:
        must_be(ins, collections.abc.Mapping)
    pairs = [(ins["id"], ins["text"]) for ins in insights]
    insights_block = "\n".join(f"[{str(i)}]: {str(t)}" for i, t in pairs)
    texts = [str(d) for d in directives]
    directives_block = "\n".join(f"{n}. {d}" for n, d in enumerate(texts, 1)) or "(none)"
    guidance = trim(style_guidance or "")
    system = evolution._EVOLUTION_SYSTEM.format(
        directives_block=directives_block,
        insights_block=insights_block,
        max_per_cycle=int.__repr__(max_per_cycle),  # decimal, whatever a subclass prints
        style_guidance_block="\n- " + guidance if guidance else "",
    )
    return system, [{"role": "user", "content": "Generate directive proposals."}]


def ref_parse_evolution(response, insight_ids):
    must_be(response, str)
    must_be(insight_ids, (set, frozenset))
    for i in insight_ids:
        must_be(i, str)
    text = trim(response)
    if text.startswith("```") and text.endswith("```"):
        text = trim(text[3:-3]) if len(text) > 6 else ""
        if text.startswith("json"):
            text = trim(text[4:])
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return []
    proposed = value.get("proposed", []) if isinstance(value, dict) else None
    if not isinstance(proposed, list):
        return []
    fallback = min(insight_ids) if insight_ids else ""
    out = []
    for entry in proposed:
        if not isinstance(entry, dict) or not isinstance(entry.get("text"), str):
            continue
        if not trim(entry["text"]):
            continue
        source = entry.get("source_insight_id")
        if not (isinstance(source, str) and source in insight_ids):
            source = fallback
        out.append({"text": trim(entry["text"]), "source_insight_id": source})
    return out


def ref_classify(text):
    lowered = must_be(text, str).lower()
    for domain, words in mirrandel._DOMAIN_KEYWORDS.items():
        if any(w in lowered for w in words):
            return domain
    return mirrandel.DOMAIN_GENERAL


def as_real(x):
    """float(x) for what the library takes as a real number: not a text, a
    buffer or a complex, which float() reads or refuses in its own ways."""
    kind = type(x)
    if isinstance(x, (str, bytes, complex)) or not (
        hasattr(kind, "__float__") or hasattr(kind, "__index__")
    ):
        raise TypeError(kind.__name__)
    return float(x)


def ref_vector(v):
    if isinstance(v, (list, tuple)):
        return list(v)
    if isinstance(v, (bytes, bytearray, memoryview)):
        raise TypeError("buffer of bytes")
    raise TypeError(type(v).__name__)


def ref_cosine(a, b):
    a, b = ref_vector(a), ref_vector(b)
    if len(a) != len(b):
        raise ValueError("lengths")
    a, b = [as_real(x) for x in a], [as_real(x) for x in b]
    dot = na = nb = 0.0
    for x, y in zip(a, b, strict=True):
        dot += x * y
        na += x * x
        nb += y * y
    if na == 0.0 or nb == 0.0:
        return 0.0
    return dot / (math.sqrt(na) * math.sqrt(nb))


def ref_convergence_prompt(turns):
    must_be(turns, (list, tuple))
    lines = ["Thread transcript (chronological):"]
    for pair in turns:
        # Only a list or tuple is a turn, refused before anything is read.
        if not isinstance(pair, (list, tuple)):
            raise TypeError("turn")
        if len(pair) != 2:
            raise ValueError("turn")
        sender, content = must_be(pair[0], str), must_be(pair[1], str)
        # str.split() splits at the same whitespace set as trim()
        lines.append(f"- [{sender}] " + " ".join(content.split()))
    return "\n".join(lines) + "\n\n" + QUESTION


def ref_verdict(text):
    raw = trim(must_be(text, str))
    if "|" not in raw:
        return False, raw
    token, payload = raw.split("|", 1)
    token, payload = trim(token).upper(), trim(payload)
    if token == "CONVERGED" and payload:
        return True, payload
    if token == "OPEN":
        return False, payload or "judge marked thread open"
    return False, raw


def ref_calvendry(rows):
    must_be(rows, list)
    rows = list(rows)
    scores = [as_real(r.team_score) for r in rows]
    shown = [str.__str__(r.content) if isinstance(r.content, str) else str(r.content) for r in rows]
    order = sorted(range(len(rows)), key=lambda i: (math.isnan(scores[i]), -scores[i]))
    lines = [CALVENDRY_HEADER] + [f"- ({scores[i]:.3f}) {shown[i]}" for i in order]
    return "\n".join(lines) + "\n\n" + CALVENDRY_FOOTER


def ref_hash(prompt):
    return hashlib.sha256(must_be(prompt, str).encode()).hexdigest()[:16]


CALVENDRY_HEADER = "Team-shared memories (one per line, prefixed with team_score):"
CALVENDRY_FOOTER = (
    "Synthesise a single team insight that captures the collective signal across the above "
    "memories."
)
QUESTION = ostrel.build_convergence_prompt([]).split("\n\n", 1)[1]


def ref_int_field(v):
    return int(operator.index(v))  # bool included: it is an int


def ref_real_field(v):
    return as_real(v)


def ref_truth_field(v):
    if type(v) is not bool:
        raise TypeError(type(v).__name__)
    return v


def ref_text_field(v):
    return None if v is None else str.__str__(must_be(v, str))


def ref_changes(profile, changes):
    must_be(profile, Brevick)
    if changes is None:
        return profile
    must_be(changes, collections.abc.Mapping)
    changes = dict(changes)  # reads every value, as ** does
    names = {f.name for f in Brevick.__dataclass_fields__.values()}
    for key in changes:
        if key not in names:
            raise TypeError("not a field")
    return brevick.replace(profile, **dict(changes))


def ref_concurrency(v):
    if hasattr(type(v), "__index__"):
        n = operator.index(v)
    elif isinstance(v, float) or not hasattr(type(v), "__int__"):
        n = int(as_real(v))
    else:
        as_real(v)
        n = int(v)  # Decimal, Fraction: truncated exactly
    if n < 1:
        raise ValueError(n)
    return n


def ref_timeout(v):
    if v is None:
        return None
    as_real(v)
    return None


# --- calls ------------------------------------------------------------------------------


def memory(**fields):
    return {**FIELDS, "salience": 0.5, **fields}


def run_queue(step):
    """Run step(queue, job) on a fresh loop, within the suite's time limit,
    and drain the queue. A refused job must be closed."""

    async def job():
        return 1

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda loop, context: None)
        q = trellan.Trellan()
        coro = job()
        out = error = None
        try:
            out = step(q, coro)
            if inspect.isawaitable(out):
                out = await out
        except Exception as e:
            error = e
        tasks = list(q._tasks.values())
        await q.wait_all()
        await asyncio.sleep(0)
        for t in tasks:
            if not t.cancelled():
                t.exception()
        assert q.active_count == 0
        if inspect.getcoroutinestate(coro) == inspect.CORO_CREATED:
            coro.close()
            raise AssertionError("a refused job was left open")
        if error is not None:
            raise error
        return out

    return asyncio.run(asyncio.wait_for(main(), 10))  # a hang fails this cell alone


def accepted(task):
    return "accepted" if isinstance(task, asyncio.Task) else task


async def submit_after(q, coro, after):
    first = q.submit("first", asyncio.sleep(0))
    return accepted(q.submit("second", coro, after=after)), first


class Row:
    def __init__(self, content, team_score):
        self.content, self.team_score = content, team_score


def slot(name, make, call, ref, *, text=False, hash_needed=False, edits=(), messages=False):
    """make(v) -> (args, containers): the arguments with v in place, and the
    lists and dicts of the call that a Mutator may edit.

    text: the argument is a text, so the 100 MB one goes there too.
    hash_needed: v goes into a set or is a dict key.
    edits: the errors a Mutator may cause besides the result for its quiet
    twin. Lists are always read as they were when the call started; a memory
    record is read field by field, so a content that empties its own record
    meets the next field missing.
    messages: the reference's ValueError messages are the documented ones.
    """
    return dict(
        name=name,
        make=make,
        call=call,
        ref=ref,
        text=text,
        hash_needed=hash_needed,
        edits=edits,
        messages=messages,
    )


def one(v):
    return (v,), []


def in_memory(field):
    def make(v):
        m = memory(**{field: v})
        batch = [m, memory()]
        return (batch,), [batch, m]

    return make


def content_value(v):
    inner = {"k": v, "n": [1, 2.5]}
    m = memory(content=inner)
    batch = [m]
    return (batch,), [batch, m, inner]


def content_key(v):
    inner = {v: "x"}
    m = memory(content=inner)
    return ([m],), [m]


def memory_record(v):
    batch = [v, memory()]
    return (batch,), [batch]


def insight_field(field):
    def make(v):
        ins = {"id": "ins-1", "text": "t", field: v}
        insights = [ins, {"id": "ins-2", "text": "u"}]
        return (insights, ["d"], 3, None), [insights, ins]

    return make


def evolution_arg(i):
    def make(v):
        args = [[{"id": "ins-1", "text": "t"}], ["d"], 3, "  be kind  "]
        args[i] = v
        return tuple(args), []

    return make


def evolution_directive(v):
    directives = [v, "keep"]
    return ([], directives, 2), [directives]


REPLY = '{"proposed": [{"text": " t ", "source_insight_id": "ins-1"}, {"text": "u"}]}'


def cosine_element(v):
    a, b = [1.0, v, 3.0], (2.0, 5.0, 7.0)
    return (a, b), [a]


def turn_part(i):
    def make(v):
        turn = ["s", "a  b"]
        turn[i] = v
        turns = [turn, ("t", "c")]
        return (turns,), [turns, turn]

    return make


def row_part(attr):
    def make(v):
        row = Row("c", 0.5)
        setattr(row, attr, v)
        rows = [Row("first", 0.1), row, Row("last", 0.9)]
        return (rows,), [rows]

    return make


PROFILE = Brevick()


@dataclasses.dataclass(frozen=True)
class Stand:
    """A plain frozen record: comparing it with v follows the same protocol."""


def changes_holding(v):
    changes = {"archive_days": 1, "decay_factor": v, "weaken_days": 2}
    return (PROFILE, changes), [changes]


def refuses(kind):
    def ref(*args):
        raise kind("refused")

    return ref


def ref_after(v):
    if v is None or must_be(v, str) == "first":
        return "accepted"
    raise ValueError(f"Predecessor task {str.__str__(v)!r} not found")


def ref_duplicate(v):
    raise ValueError(f"Task {str.__str__(must_be(v, str))!r} already submitted")


def submit_twice(q, coro, name):
    q.submit(name, coro)
    second = asyncio.sleep(0)
    try:
        return q.submit(name, second)
    finally:
        if inspect.getcoroutinestate(second) == inspect.CORO_CREATED:
            second.close()
            raise AssertionError("a refused duplicate was left open")


SLOTS = [
    # brevick
    slot(
        "Brevick(archive_days)",
        one,
        lambda v: Brevick(archive_days=v).archive_days,
        ref_int_field,
    ),
    slot(
        "Brevick(decay_factor)",
        one,
        lambda v: Brevick(decay_factor=v).decay_factor,
        ref_real_field,
    ),
    slot(
        "Brevick(positional first field)",
        one,
        lambda v: Brevick(v).salience_reinforcement_weight,
        ref_real_field,
    ),
    slot(
        "Brevick(enable_fact_extraction)",
        one,
        lambda v: Brevick(enable_fact_extraction=v).enable_fact_extraction,
        ref_truth_field,
    ),
    slot(
        "Brevick(dream_evolve_style_guidance)",
        one,
        lambda v: Brevick(dream_evolve_style_guidance=v).dream_evolve_style_guidance,
        ref_text_field,
    ),
    slot(
        "Brevick factories(arg)",
        one,
        lambda v: [getattr(Brevick, f)(v) for f in ("balanced", "for_research")],
        refuses(TypeError),
    ),
    slot("replace(profile)", one, brevick.replace, lambda v: ref_changes(v, None)),
    slot(
        "replace(changes)",
        lambda v: ((PROFILE, v), [v] if isinstance(v, dict) else []),
        brevick.replace,
        ref_changes,
    ),
    slot(
        "replace(changes[decay_factor])",
        changes_holding,
        lambda p, c: brevick.replace(p, c).decay_factor,
        lambda p, c: ref_real_field(c["decay_factor"]),
    ),
    slot(
        "Brevick.__replace__(archive_days)",
        one,
        lambda v: PROFILE.__replace__(archive_days=v).archive_days,
        ref_int_field,
    ),
    slot(
        "replace(changes key)",
        lambda v: ((PROFILE, {v: 3}), []),
        lambda p, c: brevick.replace(p, c).archive_days,
        lambda p, c: ref_changes(p, c).archive_days,
        hash_needed=True,
    ),
    slot(
        "Brevick(**{key})",
        one,
        lambda v: Brevick(**{v: 3}).archive_days,
        lambda v: Brevick(**{str.__str__(must_be(v, str)): 3}).archive_days,
        hash_needed=True,
    ),
    slot(
        "replace(**decay_factor)",
        one,
        lambda v: brevick.replace(PROFILE, decay_factor=v).decay_factor,
        ref_real_field,
    ),
    slot(
        "Brevick.__eq__/__hash__",
        one,
        lambda v: repr((PROFILE == v, PROFILE != v, hash(PROFILE) == hash(Brevick()))),
        lambda v: repr((Stand() == v, Stand() != v, True)),
    ),
    # consolidation and journal
    slot(
        "build_consolidation_prompt(memories)",
        one,
        consolidation.build_consolidation_prompt,
        ref_consolidation_prompt,
    ),
    slot(
        "build_consolidation_prompt(memory)",
        memory_record,
        consolidation.build_consolidation_prompt,
        ref_consolidation_prompt,
    ),
    *[
        slot(
            f"build_consolidation_prompt(memory[{f}])",
            in_memory(f),
            consolidation.build_consolidation_prompt,
            ref_consolidation_prompt,
            text=f == "content",
            edits=(KeyError,),
        )
        for f in ("content", "event_type", "created_at")
    ],
    slot(
        "build_consolidation_prompt(content value)",
        content_value,
        consolidation.build_consolidation_prompt,
        ref_consolidation_prompt,
        edits=(KeyError,),
    ),
    slot(
        "build_consolidation_prompt(content key)",
        content_key,
        consolidation.build_consolidation_prompt,
        ref_consolidation_prompt,
        hash_needed=True,
    ),
    slot(
        "parse_consolidation_output",
        one,
        consolidation.parse_consolidation_output,
        ref_clean_reply,
        text=True,
    ),
    slot("build_journal_prompt(memories)", one, journal.build_journal_prompt, ref_journal_prompt),
    slot(
        "build_journal_prompt(memory)",
        memory_record,
        journal.build_journal_prompt,
        ref_journal_prompt,
    ),
    *[
        slot(
            f"build_journal_prompt(memory[{f}])",
            in_memory(f),
            journal.build_journal_prompt,
            ref_journal_prompt,
            edits=(KeyError,),
        )
        for f in ("content", "event_type", "salience", "created_at")
    ],
    slot(
        "build_journal_prompt(content value)",
        content_value,
        journal.build_journal_prompt,
        ref_journal_prompt,
        edits=(KeyError,),
    ),
    slot(
        "parse_journal_output",
        one,
        journal.parse_journal_output,
        ref_clean_reply,
        text=True,
    ),
    # evolution and mirrandel
    *[
        slot(
            f"build_evolution_prompt({name})",
            evolution_arg(i),
            evolution.build_evolution_prompt,
            ref_evolution_prompt,
        )
        for i, name in enumerate(["insights", "directives", "max_per_cycle", "style_guidance"])
    ],
    *[
        slot(
            f"build_evolution_prompt(insight[{f}])",
            insight_field(f),
            evolution.build_evolution_prompt,
            ref_evolution_prompt,
        )
        for f in ("id", "text")
    ],
    slot(
        "build_evolution_prompt(directive)",
        evolution_directive,
        evolution.build_evolution_prompt,
        ref_evolution_prompt,
    ),
    slot(
        "build_evolution_prompt(insight)",
        lambda v: (([v], [], 1), []),
        evolution.build_evolution_prompt,
        ref_evolution_prompt,
    ),
    slot(
        "parse_evolution_output(response)",
        lambda v: ((v, {"ins-1"}), []),
        evolution.parse_evolution_output,
        ref_parse_evolution,
        text=True,
    ),
    slot(
        "parse_evolution_output(insight_ids)",
        lambda v: ((REPLY, v), [v] if isinstance(v, dict) else []),
        evolution.parse_evolution_output,
        ref_parse_evolution,
    ),
    slot(
        "parse_evolution_output(insight_ids member)",
        lambda v: ((REPLY, {v, "ins-2"}), []),
        evolution.parse_evolution_output,
        ref_parse_evolution,
        hash_needed=True,
    ),
    slot(
        "classify_directive_domain",
        one,
        mirrandel.classify_directive_domain,
        ref_classify,
        text=True,
    ),
    # ostrel and calvendry
    slot(
        "cosine_similarity(a)",
        lambda v: ((v, [1.0]), []),
        ostrel.cosine_similarity,
        ref_cosine,
    ),
    slot(
        "cosine_similarity(b)",
        lambda v: (([1.0], v), []),
        ostrel.cosine_similarity,
        ref_cosine,
    ),
    slot("cosine_similarity(a[1])", cosine_element, ostrel.cosine_similarity, ref_cosine),
    slot(
        "build_convergence_prompt(turns)",
        one,
        ostrel.build_convergence_prompt,
        ref_convergence_prompt,
    ),
    slot(
        "build_convergence_prompt(turn)",
        lambda v: (([("a", "b"), v],), []),
        ostrel.build_convergence_prompt,
        ref_convergence_prompt,
    ),
    slot(
        "build_convergence_prompt(sender_id)",
        turn_part(0),
        ostrel.build_convergence_prompt,
        ref_convergence_prompt,
    ),
    slot(
        "build_convergence_prompt(content)",
        turn_part(1),
        ostrel.build_convergence_prompt,
        ref_convergence_prompt,
        text=True,
    ),
    slot(
        "parse_convergence_verdict",
        one,
        ostrel.parse_convergence_verdict,
        ref_verdict,
        text=True,
    ),
    slot("build_calvendry_prompt(rows)", one, calvendry.build_calvendry_prompt, ref_calvendry),
    slot(
        "build_calvendry_prompt(team_score)",
        row_part("team_score"),
        calvendry.build_calvendry_prompt,
        ref_calvendry,
    ),
    slot(
        "build_calvendry_prompt(content)",
        row_part("content"),
        calvendry.build_calvendry_prompt,
        ref_calvendry,
    ),
    slot(
        "build_calvendry_prompt(row)",
        lambda v: (([Row("a", 0.5), v],), []),
        calvendry.build_calvendry_prompt,
        ref_calvendry,
    ),
    slot("compute_prompt_hash", one, calvendry.compute_prompt_hash, ref_hash, text=True),
    # trellan
    slot(
        "Trellan(max_concurrency)",
        one,
        lambda v: trellan.Trellan(v)._max_concurrency,
        ref_concurrency,
    ),
    slot(
        "Trellan.submit(name)",
        one,
        lambda v: run_queue(lambda q, c: accepted(q.submit(v, c))),
        lambda v: must_be(v, str) and "accepted",
    ),
    slot(
        "Trellan.submit(coro)",
        one,
        lambda v: run_queue(lambda q, c: (c.close(), accepted(q.submit("n", v)))[1]),
        refuses(TypeError),  # no value of the matrix is a coroutine
    ),
    slot(
        "Trellan.submit(after)",
        one,
        lambda v: run_queue(lambda q, c: submit_after(q, c, v))[0],
        ref_after,
        messages=True,
    ),
    slot(
        "Trellan.submit(name already tracked)",
        one,
        lambda v: run_queue(lambda q, c: submit_twice(q, c, v)),
        ref_duplicate,
        messages=True,
    ),
    slot(
        "Trellan.wait_all(timeout)",
        one,
        lambda v: run_queue(lambda q, c: (c.close(), q.wait_all(v))[1]),
        ref_timeout,
    ),
    slot(
        "Trellan.cancel_all(arg)",
        one,
        lambda v: run_queue(lambda q, c: (c.close(), q.cancel_all(v))[1]),
        refuses(TypeError),
    ),
]


# --- the matrix -------------------------------------------------------------------------


def cells():
    for s in SLOTS:
        for name, make in VALUES.items():
            if name == "big_text" and not s["text"]:
                continue
            if s["hash_needed"] and not hashable(make()):
                continue
            yield pytest.param(s, name, id=f"{s['name']}-{name}")


@pytest.fixture
def quiet_evolution_logger():
    """The evolution parser warns on bad replies; keep that out of the test output."""
    log = logging.getLogger("quorvane._internal.evolution")
    before = log.disabled
    log.disabled = True
    yield
    log.disabled = before


@pytest.mark.usefixtures("quiet_evolution_logger")
@pytest.mark.parametrize("s, value", list(cells()))
def test_bad_input_matrix(s, value):
    v = VALUES[value]()
    args, containers = s["make"](v)
    if isinstance(v, Mutator):
        v.targets = containers
    ref_args, _ = s["make"](twin(v))
    try:
        expected = s["ref"](*ref_args)
    except Exception as e:
        expected_error = type(e)
        expected_message = str(e) if s["messages"] else None
    else:
        expected_error = None
    try:
        got = s["call"](*args)
    except Exception as e:
        assert not isinstance(e, SystemError), repr(e)
        if isinstance(v, Mutator) and isinstance(e, s["edits"]):
            return
        assert expected_error is not None, f"raised {e!r}, expected a result"
        assert isinstance(e, expected_error), f"raised {e!r}, expected {expected_error.__name__}"
        if s["messages"] and expected_error is ValueError:
            assert str(e) == expected_message
    else:
        assert expected_error is None, f"returned, expected {expected_error.__name__}"
        assert same(got, expected)


@pytest.mark.parametrize(
    "name",
    [
        "build_consolidation_prompt(memory[content])",
        "build_journal_prompt(memory[salience])",
        "build_journal_prompt(content value)",
        "build_evolution_prompt(insight[id])",
        "build_evolution_prompt(directive)",
        "cosine_similarity(a[1])",
        "build_calvendry_prompt(team_score)",
        "build_calvendry_prompt(content)",
        "replace(changes[decay_factor])",
    ],
)
def test_editing_values_are_read(name):
    """The matrix proves something only if the editing values are converted
    while their containers are being read."""
    (s,) = [s for s in SLOTS if s["name"] == name]
    for value in ("str_clears", "float_clears"):
        v = VALUES[value]()
        args, v.targets = s["make"](v)
        try:
            s["call"](*args)
        except Exception:
            pass
        if v.fired:
            assert any(len(c) == 0 for c in v.targets)
            return
    raise AssertionError(f"no editing value was converted in {name}")


# --- argument binding ---------------------------------------------------------------------

SAMPLES = {
    "memories": [dict(FIELDS)],
    "response": '```\n"x"\n```',
    "insights": [{"id": "a", "text": "t"}],
    "directives": ["d"],
    "max_per_cycle": 2,
    "style_guidance": " s ",
    "insight_ids": frozenset({"a"}),
    "text": "Refund the order",
    "a": [1.0, 2.0],
    "b": (2.0, 1.0),
    "turns": [("a", "b")],
    "rows": [Row("c", 0.5)],
    "prompt": "p",
    "profile": PROFILE,
    "changes": {"archive_days": 1},
    "max_concurrency": 3,
    "archive_days": 5,
}

BOUND = [
    consolidation.build_consolidation_prompt,
    consolidation.parse_consolidation_output,
    journal.build_journal_prompt,
    journal.parse_journal_output,
    evolution.build_evolution_prompt,
    evolution.parse_evolution_output,
    mirrandel.classify_directive_domain,
    ostrel.cosine_similarity,
    ostrel.build_convergence_prompt,
    ostrel.parse_convergence_verdict,
    calvendry.build_calvendry_prompt,
    calvendry.compute_prompt_hash,
    brevick.replace,
    trellan.Trellan,
    Brevick.for_research,
]


def canon(x):
    return x._max_concurrency if isinstance(x, trellan.Trellan) else x


@pytest.mark.parametrize("fn", BOUND, ids=lambda fn: fn.__qualname__)
def test_argument_binding(fn):
    """Each argument taken by position and, where the signature allows, by name;
    a missing, surplus, unknown or twice-given argument is a TypeError."""
    params = list(inspect.signature(fn).parameters.values())
    named = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    args = [SAMPLES[p.name] for p in named]
    extra_kw = any(p.kind == p.VAR_KEYWORD for p in params)
    plain = canon(fn(*args))
    for i, p in enumerate(named):
        rest = dict(zip([q.name for q in named[i:]], args[i:], strict=True))
        if p.kind == p.POSITIONAL_OR_KEYWORD:
            assert same(canon(fn(*args[:i], **rest)), plain)
            with pytest.raises(TypeError):
                fn(*args[: i + 1], **{p.name: args[i]})
        elif not extra_kw:
            with pytest.raises(TypeError):
                fn(*args[:i], **rest)
        if p.default is p.empty:
            with pytest.raises(TypeError):
                fn(*args[:i])
    with pytest.raises(TypeError):
        fn(*args, None)
    with pytest.raises(TypeError):
        fn(*args, no_such_argument=1)
