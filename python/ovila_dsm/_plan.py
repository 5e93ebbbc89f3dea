"""Who runs what, and for how long, on the blocks of a sequencing.

Blocks of up to `EXACT_ITEMS` items are solved by exact search, one after
the other. Each larger block gets a share of the time left, in proportion
to its marks, and the cores work on it together: the plan below says what
each core does on it, in turn. The block ends as soon as its best order
meets its bound (every party then stops at once), when every core is
through its list, or at its share of the time.
"""

from __future__ import annotations

from dataclasses import dataclass

# Blocks up to this size are ordered by exact search (subset dynamic programming).
EXACT_ITEMS = 22
# A search ends after this many rounds in a row without a new best (a count
# of work, so that a seed gives one result).
STALE_ROUNDS = 100
# The proof first has this share of a block's time (at least PROOF_FIRST
# seconds); then it goes on only when it is close (its bound within
# CLOSE_GAP of the best order), and otherwise leaves its core to a second
# search until the searches are through.
PROOF_SHARE = 0.2
PROOF_FIRST = 1.0
CLOSE_GAP = 0.05
# The share of a large block's time for the quick cycle-packing bound.
BOUND_SHARE = 0.1
# The share of a large block's time kept for the tie-break's descent (it
# ends sooner when no move helps).
TIE_BREAK_SHARE = 0.05


@dataclass(frozen=True)
class Task:
    """A search (its seed salted by `salt`) or the proof, until the share
    `until` of the block's time. A proof whose gap is at most `keep_if_gap`
    at that moment goes on to the end of the block's time instead of
    handing over to the next task."""


    kind: str  # "search" or "proof"
    salt: int = 0
    until: float = 1.0
    keep_if_gap: float = -1.0
    # A search that stagnates starts again from the block's best order with
    # the next seed (its salt plus the number of cores), until `until`.
    repeat: bool = False


def plan(*, method: str, provable: bool, cores: int, seconds: float) -> tuple[tuple[Task, ...], ...]:
    """What each core does on a block too large for exact search, in turn.

    `method` "auto" proves where the block is `provable` (small enough for
    the integer program), "heuristic" never does; `cores` is the number of
    threads to use (at least 1); `seconds` is the block's share of the time.
    """
    cores = max(1, cores)
    searches = tuple((Task("search", salt=core),) for core in range(cores))
    if method != "auto" or not provable:
        return searches
    # While a proof may still end the block, searches do not stop at
    # stagnation: they start again, feeding the proof better orders.
    first = min(1.0, max(PROOF_SHARE, PROOF_FIRST / seconds)) if seconds > 0 else 1.0
    proof_core = (
        Task("proof", until=first, keep_if_gap=CLOSE_GAP),
        Task("search", salt=1),
        Task("proof"),
    )
    if cores == 1:
        # One core: the proof first, then the search, then the proof again.
        return ((proof_core[0], Task("search", salt=0), Task("proof")),)
    tireless = tuple((Task("search", salt=core, repeat=True),) for core in range(cores))
    return (tireless[0], proof_core) + tireless[2:]


def shares(marks: list[int], seconds: float) -> list[float]:
    """Each block's share of `seconds`, in proportion to its marks."""
    total = sum(marks) or 1
    return [seconds * m / total for m in marks]


def gap(cost: int, bound: int) -> float:
    """How far the bound is from the best order, as a share of the order's cost."""
    return (cost - bound) / cost if cost > 0 else 0.0
