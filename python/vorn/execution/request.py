"""Options checked once: every entry point turns its keyword arguments into
one :class:`Request` value here, and the engines read only that value. A
combination that no engine serves is refused here, by name, never dropped.
"""

from __future__ import annotations

import operator
from typing import Any, NamedTuple

from .. import _ext
from .watch import Progress

__all__ = ["DEFAULT_SHOTS", "MAX_SEED", "MAX_SHOTS", "Request", "make_request", "non_negative"]

MAX_SEED = 2**64 - 1
MAX_SHOTS = 2**64 - 1  # the engine counts shots in 64 bits
DEFAULT_SHOTS = 1024
DEFAULT_TRAJECTORIES = 1000


def non_negative(value: Any, name: str, limit: int | None = None) -> int:
    """``value`` as an int from 0 to ``limit``; TypeError or ValueError naming ``name``."""
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    v = operator.index(value)
    if v < 0 or (limit is not None and v > limit):
        bound = f" and <= {limit}" if limit is not None else ""
        raise ValueError(f"{name} must be >= 0{bound}, got {v}")
    return v


def threads_of(value: Any) -> int:
    """0 (the whole pool) for None, else a count from 1 to the pool's size."""
    if value is None:
        return 0
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"threads must be an integer or None, not {type(value).__name__}")
    v = operator.index(value)
    pool = _ext.pool_threads()
    if not 1 <= v <= pool:
        raise ValueError(f"threads must be between 1 and the pool's size {pool} (RAYON_NUM_THREADS), got {v}")
    return v


def fusion_of(value: Any) -> bool:
    """``fusion=`` checked: True or False only."""
    if not isinstance(value, bool):
        raise TypeError(f"fusion must be True or False, not {type(value).__name__}")
    return value


def single_of(value: Any) -> bool:
    """True for precision="single", False for "double"; anything else is refused."""
    if not isinstance(value, str):
        raise TypeError(f"precision must be 'single' or 'double', not {type(value).__name__}")
    if value not in ("single", "double"):
        raise ValueError(f"precision must be 'single' or 'double', not {value!r}")
    return value == "single"


def timeout_of(value: Any) -> float | None:
    """``timeout=`` checked: None or a positive, finite number of seconds."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(value).__name__}")
    if not value > 0 or value != value or value == float("inf"):
        raise ValueError(f"timeout must be a positive, finite number of seconds, got {value!r}")
    return value


class Request(NamedTuple):
    """One call's options, checked: what every engine reads.

    ``single`` is precision="single"; ``threads`` 0 means the whole pool;
    ``trajectories`` None means exact where an exact answer exists;
    ``max_live_states`` 0 lets the engine decide by the memory available.
    """

    shots: int = DEFAULT_SHOTS
    seed: int | None = None
    memory: bool = False
    threads: int = 0
    fusion: bool = False
    single: bool = False
    timeout: float | None = None
    progress: bool | Progress | None = None
    trajectories: int | None = None
    max_live_states: int = 0

    def native(self, *, require_finite: bool = True, keep_state: bool = False, batch: int = 0) -> Any:
        """This request as the engine's one options value, ``_ext.RunRequest``.

        The package never samples a state whose probabilities are not all
        finite (``require_finite``); ``keep_state`` and ``batch`` are the
        dynamic and noisy engines' (a one-shot run's state, trajectories per
        walk). ``timeout`` and ``progress`` stay here: the watch serves them.
        """
        return _ext.RunRequest(seed=self.seed, shots=self.shots, keep_shots=self.memory,
                               require_finite=require_finite,
                               fusion_qubits=_ext.DEFAULT_FUSION_QUBITS if self.fusion else 0,
                               single_precision=self.single, threads=self.threads,
                               max_live_states=self.max_live_states, batch=batch, keep_state=keep_state)


def make_request(*, shots: Any = DEFAULT_SHOTS, seed: Any = None, memory: Any = False, threads: Any = None,
                 fusion: Any = False, precision: Any = "double", timeout: Any = None, progress: Any = None,
                 trajectories: Any = None) -> Request:
    """A :class:`Request` from an entry point's keyword arguments, each checked
    (TypeError or ValueError naming the argument).

    Args:
        shots: outcomes to draw, 0 to 2**64 - 1.
        seed: None or 0 to 2**64 - 1.
        memory: keep every shot's outcome.
        threads: None or 1 to the pool's size.
        fusion: True or False.
        precision: "double" or "single".
        timeout: None or a positive number of seconds.
        progress: None, a bool, or a callable (done, total).
        trajectories: None, or at least 2 sampled trajectories.
    """
    count = None
    if trajectories is not None:
        count = non_negative(trajectories, "trajectories", MAX_SHOTS)
        if count < 2:
            raise ValueError(f"trajectories must be at least 2 (a standard error needs two), got {count}")
    return Request(
        shots=non_negative(shots, "shots", MAX_SHOTS),
        seed=None if seed is None else non_negative(seed, "seed", MAX_SEED),
        memory=bool(memory),
        threads=threads_of(threads),
        fusion=fusion_of(fusion),
        single=single_of(precision),
        timeout=timeout_of(timeout),
        progress=progress,
        trajectories=count,
    )


# What no engine serves yet: (the circuit's or call's kind, the option) ->
# why. Every refusal of a combination is made from this one table.
UNSERVED: dict[tuple[str, str], str] = {
    ("noise", "variance"): "trajectories estimate means only",
    ("outcomes", "single"): "the expectation over measurement outcomes and trajectories is formed on a complex128 "
                            "state",
    ("state", "single"): "precision chooses how a circuit is simulated, and a given state is already simulated",
}

_SPELLING = {"noise": "noise=", "dynamic": "a circuit that measures in the middle, resets or conditions",
             "params": "params=",
             "outcomes": "the expectation value of a circuit that measures in the middle, resets or conditions "
                         "(or has noise=)", "single": "precision='single'", "fusion": "fusion=True",
             "variance": "variance=True", "state": "a given state vector"}


def refuse_unserved(request: Request, kinds: tuple[str, ...], variance: bool = False) -> None:
    """ValueError naming both sides of the first combination of ``kinds``
    (e.g. "noise", "dynamic", "params") and the request's options that no
    engine serves."""
    asked = [name for name, on in (("single", request.single), ("fusion", request.fusion),
                                   ("variance", variance)) if on]
    for kind in kinds:
        for option in asked:
            why = UNSERVED.get((kind, option))
            if why is not None:
                raise ValueError(f"{_SPELLING[option]} cannot be combined with {_SPELLING[kind]}: {why}")
