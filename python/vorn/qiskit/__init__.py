"""vorn under Qiskit's interfaces: the V2 primitives and a backend.

``EstimatorV2`` and ``SamplerV2`` implement Qiskit's ``BaseEstimatorV2`` and
``BaseSamplerV2`` (PUBs, broadcasting, ``DataBin`` results as the reference
primitives give them), running each PUB as one batched sweep of its circuit
converted once. ``Backend`` is a ``BackendV2`` named "vorn" whose jobs run on
a worker thread and return a ``qiskit.result.Result``, so ``transpile``,
``BackendSamplerV2`` and ``BackendEstimatorV2`` work with it.

Needs the ``qiskit`` extra (``pip install "vorn-python[qiskit]"``); importing
``vorn`` itself never imports Qiskit.
"""

from ..interop.circuits import _require

_require("qiskit", "qiskit", "qiskit")

from ._backend import Backend, SaveStatevector, VornJob, save_statevector  # noqa: E402
from ._estimator import EstimatorV2  # noqa: E402
from ._sampler import SamplerV2  # noqa: E402

__all__ = ["Backend", "EstimatorV2", "SamplerV2", "SaveStatevector", "VornJob", "save_statevector"]
