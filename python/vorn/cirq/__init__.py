"""vorn inside Cirq: :class:`Simulator`, a drop-in for ``cirq.Simulator``.

It implements Cirq's ``SimulatesSamples`` (``run``, ``run_sweep``, and so
``sample``, ``run_batch`` and ``sample_expectation_values``),
``SimulatesAmplitudes``, ``SimulatesFinalState`` and
``SimulatesExpectationValues`` on vorn's engines, and returns Cirq's own
result types. Each call converts its circuit once; sympy symbols become
vorn parameters and every point of a sweep is bound in vorn's sweep path.

Needs the ``cirq`` extra (``pip install "vorn-python[cirq]"``); importing
``vorn`` itself never imports Cirq.
"""

from ..interop.circuits import _require

_require("cirq", "cirq", "cirq")

from ._simulator import Simulator  # noqa: E402 - after the check, which names the extra

__all__ = ["Simulator"]
