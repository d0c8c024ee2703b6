"""Thread convergence judge: the judge's system prompt, the transcript it
reads, the parse of its one-line verdict, and the cosine similarity behind
the stagnation gate.

CONVERGENCE_JUDGE_SYSTEM_PROMPT
    str: the judge's system prompt; the text of build_convergence_prompt()
    is the user message that goes with it.
STAGNATION_COSINE_THRESHOLD
    float, 0.92: the threshold of the stagnation gate, compared with the
    cosine_similarity() of two turns' embeddings.
"""

from typing import Final, Protocol, SupportsFloat, SupportsIndex, TypeVar

from typing_extensions import Buffer

__all__ = [
    "CONVERGENCE_JUDGE_SYSTEM_PROMPT",
    "STAGNATION_COSINE_THRESHOLD",
    "build_convergence_prompt",
    "cosine_similarity",
    "parse_convergence_verdict",
]

CONVERGENCE_JUDGE_SYSTEM_PROMPT: Final[str]
STAGNATION_COSINE_THRESHOLD: Final[float]

# The element types are type variables because a list is invariant: a
# list[float] is not a list[SupportsFloat | SupportsIndex].
_A = TypeVar("_A", bound=SupportsFloat | SupportsIndex)
_B = TypeVar("_B", bound=SupportsFloat | SupportsIndex)
_Turn = TypeVar("_Turn", bound=list[str] | tuple[str, str])

class _NumPyArray(Protocol):
    # A NumPy array is read through its buffer, but NumPy's stubs declare
    # __buffer__ only from Python 3.12 on; this admits one before that.
    @property
    def __array_struct__(self) -> object: ...

def cosine_similarity(
    a: list[_A] | tuple[_A, ...] | Buffer | _NumPyArray,
    b: list[_B] | tuple[_B, ...] | Buffer | _NumPyArray,
) -> float:
    """Return the cosine similarity of two embedding vectors as a float.

    Every element is converted to a float first; the sums a[i]*b[i],
    a[i]*a[i] and b[i]*b[i] run in index order in double precision, and the
    result is dot / (sqrt(norm_a) * sqrt(norm_b)), not clamped to [-1, 1].
    Two empty vectors, or a vector whose squared norm is exactly 0.0, give
    0.0; a NaN element gives NaN otherwise.

    A vector is a list or tuple of real numbers: floats, ints (converted as
    float() does, so an int beyond float range raises OverflowError), or any
    object with __float__ or __index__ (numpy scalars, Decimal, Fraction).
    Anything else in it (str, complex, None) raises TypeError. A vector may
    also be a one-dimensional buffer of native float64 or float32 (a NumPy
    array, array.array('d'), a ctypes array, a memoryview), strided or not,
    which is read in place; a buffer of any other format or dimension raises
    TypeError.

    Raises ValueError "cosine_similarity expects equal-length vectors, got
    len(a)=<n> and len(b)=<m>." when the lengths differ.
    """

def build_convergence_prompt(
    turns: list[_Turn] | tuple[_Turn, ...],
) -> str:
    """Render a thread's transcript as the convergence judge's user message.

    `turns` is a list (or tuple) of (sender_id, content) pairs of str, in
    chronological order. The message is the line
    "Thread transcript (chronological):", one line "- [<sender_id>] <content>"
    per turn with the content's whitespace runs folded into single spaces
    and its ends stripped (" ".join(content.split())), an empty line, and
    the question asking for CONVERGED|<summary> or OPEN|<reason>; no
    trailing newline.

    Raises ValueError when a turn does not have exactly two elements, and
    TypeError when `turns` is not a list or tuple, a turn is not a list or
    tuple, or a sender_id or content is not a str.
    """

def parse_convergence_verdict(text: str) -> tuple[bool, str]:
    """Read the judge's reply as (is_converged, summary_or_reason).

    The stripped reply is split at its first "|"; the part before it,
    stripped and upper-cased, is the token and the rest, stripped, the
    payload (it keeps further pipes and line breaks). CONVERGED with a
    non-empty payload gives (True, payload); OPEN gives (False, payload), or
    (False, "judge marked thread open") when the payload is empty. Anything
    else, including a reply without a pipe, gives (False, stripped reply).
    Accepts any str and never fails on its content; raises TypeError if
    `text` is not a str.
    """
