"""vorn as a PennyLane device: ``qml.device("vorn.qubit", wires=...)``.

Needs the ``pennylane`` extra (``pip install "vorn-python[pennylane]"``);
``import vorn`` alone never imports PennyLane. The device is registered
under PennyLane's ``pennylane.plugins`` entry points, so ``qml.device``
finds it by name once vorn is installed.
"""

from ..interop.circuits import _require

_require("pennylane", "pennylane", "pennylane")

from ._device import VornQubit  # noqa: E402 - after the check, which names the extra

__all__ = ["VornQubit"]
