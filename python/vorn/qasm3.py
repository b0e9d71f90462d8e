"""OpenQASM 3 programs to and from vorn circuits.

Reading is done by vorn's C++ reader, which runs the program as it reads it:
constants fold, loops over known ranges unroll, subroutines and gates are
inlined, ``input float[64] x;`` becomes a :class:`vorn.Parameter`, and
``if``/``else`` on measured bits becomes ``if_else`` blocks. The gates of
``stdgates.inc`` (built in) become the gate table's rows of the same name, as
Qiskit's importer reads them. What vorn circuits cannot hold yet (loops or
classical variables that depend on measurements) is refused with the line,
column and construct; timing and calibrations are ignored with a warning.

Writing uses stdgates.inc names where the row has one and a definition with
the row's matrix and phase otherwise, so that :func:`loads` reads a dump back
to the same circuit.
"""

from .interop.qasm3 import QASM3Error, QASM3Warning, dump, dumps, load, loads

__all__ = ["QASM3Error", "QASM3Warning", "dump", "dumps", "load", "loads"]
