#!/usr/bin/env python3
# Benchmark of vorn against peer state-vector simulators (Qiskit Aer, Qulacs,
# PennyLane Lightning); `make bench` runs it and writes bench/results/.
"""Compare vorn with peer simulators on the same circuits.

Every workload is one gate list of (gate, params, qubits) tuples, translated to
each simulator's API. Before a simulator is timed on a workload, its final
probabilities are compared with those of the first simulator in the run (vorn
when it imports) and must agree to 1e-10; a mismatch is reported and that cell
is not timed.

Workloads (n qubits each):
  h_layers  a layer of h on every qubit, repeated 10 times
  qft       quantum Fourier transform from h, controlled phases written as
            rz/cx (rz(l/2) c; rz(l/2) t; cx c,t; rz(-l/2) t; cx c,t) and the
            final swaps, applied to a product state made by one ry layer so
            that the probability check sees the phases
  random    20 layers, each a random rx/ry/rz (random angle) on every qubit
            followed by a cx ladder cx(0,1), cx(1,2), ..., cx(n-2,n-1)
  ghz       h(0) and a cx chain, then measure_all with 10^5 shots (sampling)

Thread control (same count T for all, --threads, default 2):
  vorn       RAYON_NUM_THREADS=T (size of its worker pool)
  Aer        AerSimulator(method="statevector", max_parallel_threads=T), plus
             OMP_NUM_THREADS=T
  Qulacs     OMP_NUM_THREADS=T
  Lightning  OMP_NUM_THREADS=T (device "lightning.qubit")
Each environment variable is set for every worker process, so each simulator
sees all of them.

What is timed (from a circuit object built beforehand to the final result the
simulator hands back): vorn `run()` (plus `counts()` for ghz); Aer
`run(...).result()` with save_statevector at the end (counts for ghz); Qulacs a
fresh QuantumState plus update_quantum_state (plus sampling and tallying with
numpy for ghz); Lightning one call of a QNode returning qml.state() (qml.counts()
for ghz). Peer options are their defaults apart from the thread count (Aer keeps
its gate fusion on).

Measurement protocol: each (simulator, workload, n) cell runs in a fresh worker
process. It runs the circuit once for the probability check, resets the peak
resident size (/proc/self/clear_refs), runs one warm-up (skipped when one run
takes over WARMUP_SKIP_S seconds: the check run already warmed up), then R timed
repeats; the median is reported. R shrinks with n and with the run time (see
--max-repeats and --cell-budget). Peak memory is VmHWM of that worker after the
timed repeats. A cell whose single run is predicted (from the previous size) to
exceed --max-run seconds is skipped and marked so, to bound the total time.
"""
from __future__ import annotations

import argparse
import datetime as dt
import gc
import json
import math
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SIMULATORS = ("vorn", "vorn_fused", "aer", "qulacs", "lightning")
LABELS = {"vorn": "vorn", "vorn_fused": "vorn fusion=True", "aer": "Qiskit Aer", "qulacs": "Qulacs",
          "lightning": "Lightning"}
COLORS = {"vorn": "tab:red", "vorn_fused": "tab:purple", "aer": "tab:blue", "qulacs": "tab:orange",
          "lightning": "tab:green"}
OURS = ("vorn", "vorn_fused")  # never counted as a peer
WORKLOADS = ("h_layers", "qft", "random", "ghz")
DEFAULT_SIZES = (16, 20, 22, 24, 26)
QUICK_SIZES = (16, 20)
GHZ_SHOTS = 100_000
SEED = 20261207
TOLERANCE = 1e-10
WARMUP_SKIP_S = 5.0
RESULTS_DIR = Path(__file__).resolve().parent / "results"


# ---------------------------------------------------------------- workloads
def h_layers(n):
    return [("h", (), (q,)) for _ in range(10) for q in range(n)]


def _cphase(lam, c, t):
    # Equal to the controlled phase up to a global phase e^{-i lam/4}.
    return [("rz", (lam / 2,), (c,)), ("rz", (lam / 2,), (t,)), ("cx", (), (c, t)),
            ("rz", (-lam / 2,), (t,)), ("cx", (), (c, t))]


def qft(n):
    ops = [("ry", (0.3 + 1.4 * q / n,), (q,)) for q in range(n)]
    for j in range(n - 1, -1, -1):
        ops.append(("h", (), (j,)))
        for k in range(j - 1, -1, -1):
            ops += _cphase(math.pi / 2 ** (j - k), k, j)
    ops += [("swap", (), (i, n - 1 - i)) for i in range(n // 2)]
    return ops


def random_circuit(n):
    import random
    rng = random.Random(SEED + n)
    ops = []
    for _ in range(20):
        for q in range(n):
            ops.append((rng.choice(("rx", "ry", "rz")), (rng.uniform(0, 2 * math.pi),), (q,)))
        ops += [("cx", (), (q, q + 1)) for q in range(n - 1)]
    return ops


def ghz(n):
    return [("h", (), (0,))] + [("cx", (), (q, q + 1)) for q in range(n - 1)] + [("measure_all", (), ())]


BUILDERS = {"h_layers": h_layers, "qft": qft, "random": random_circuit, "ghz": ghz}
ABOUT = {
    "h_layers": "h on every qubit, 10 layers",
    "qft": "QFT (h, controlled phases as rz/cx, swaps) on a product state made by one ry layer",
    "random": "20 layers of a random rx/ry/rz on every qubit, each followed by a cx ladder",
    "ghz": f"GHZ (h, cx chain), measure_all, {GHZ_SHOTS} shots: time includes sampling and the counts",
}


def split_measure(ops):
    """Gate list without measurement, and the shot count the workload samples."""
    gates = [op for op in ops if op[0] != "measure_all"]
    return gates, (GHZ_SHOTS if len(gates) != len(ops) else 0)


# ---------------------------------------------------------------- adapters
# Each adapter: version(), probabilities(n, gates) -> float64 array indexed with
# qubit 0 as the least significant bit, prepare(n, ops, shots, threads) -> job,
# run(job) -> result (timed), counts(result) for sampled workloads.
class Vorn:
    def __init__(self, threads):
        import vorn_python
        self.m = vorn_python

    def version(self):
        # The module is built from the working tree, which may hold uncommitted edits.
        git = lambda *a: subprocess.run(["git", *a], capture_output=True, text=True,
                                        cwd=Path(__file__).resolve().parents[1])
        try:
            head = git("rev-parse", "--short", "HEAD").stdout.strip()
            dirty = git("diff", "--quiet", "HEAD", "--", "core", "simulator", "bindings").returncode == 1
        except OSError:
            return "built from this tree"
        return f"built from this tree at {head}{' plus uncommitted changes' if dirty else ''}"

    def _circuit(self, n, ops):
        c = self.m.Circuit(n)
        for gate, params, qubits in ops:
            getattr(c, gate)(*params, *qubits)
        return c

    def probabilities(self, n, gates):
        return self.m.run(self._circuit(n, gates), shots=0, seed=SEED).probabilities()

    def prepare(self, n, ops, shots, threads):
        return self._circuit(n, ops), shots

    def run(self, job):
        c, shots = job
        r = self.m.run(c, shots=shots, seed=SEED)
        return r.counts() if shots else r

    def counts(self, result):
        return result


class VornFused(Vorn):
    """The vorn package with opt-in gate fusion (Aer fuses by default)."""

    def __init__(self, threads):
        import vorn
        self.m = vorn

    def version(self):
        return super().version() + ", vorn package, fusion=True"

    def probabilities(self, n, gates):
        return self.m.run(self._circuit(n, gates), shots=0, seed=SEED, fusion=True).probabilities()

    def run(self, job):
        c, shots = job
        r = self.m.run(c, shots=shots, seed=SEED, fusion=True)
        return r.counts() if shots else r


class Aer:
    def __init__(self, threads):
        import qiskit
        import qiskit_aer
        self.qiskit, self.aer = qiskit, qiskit_aer
        self.sim = qiskit_aer.AerSimulator(method="statevector", max_parallel_threads=threads)

    def version(self):
        return f"qiskit-aer {self.aer.__version__}, qiskit {self.qiskit.__version__}"

    def _circuit(self, n, ops, save_state):
        qc = self.qiskit.QuantumCircuit(n)
        names = {"cx": "cx", "swap": "swap", "h": "h", "x": "x", "z": "z", "cz": "cz",
                 "rx": "rx", "ry": "ry", "rz": "rz"}
        for gate, params, qubits in ops:
            if gate == "measure_all":
                qc.measure_all()
            else:
                getattr(qc, names[gate])(*params, *qubits)
        if save_state:
            qc.save_statevector()
        return qc

    def probabilities(self, n, gates):
        import numpy as np
        sv = self.sim.run(self._circuit(n, gates, True)).result().get_statevector()
        return np.abs(np.asarray(sv)) ** 2

    def prepare(self, n, ops, shots, threads):
        return self._circuit(n, ops, not shots), shots

    def run(self, job):
        qc, shots = job
        if shots:
            return self.sim.run(qc, shots=shots, seed_simulator=SEED).result().get_counts()
        return self.sim.run(qc).result()

    def counts(self, result):
        return result


class Qulacs:
    def __init__(self, threads):
        import qulacs
        self.q = qulacs

    def version(self):
        from importlib.metadata import version
        return f"qulacs {version('qulacs')}"

    def _circuit(self, n, ops):
        c = self.q.QuantumCircuit(n)
        # RotX/RotY/RotZ are exp(-i theta P / 2); Qulacs' RX/RY/RZ use the opposite sign.
        add = {"h": c.add_H_gate, "x": c.add_X_gate, "z": c.add_Z_gate,
               "rx": c.add_RotX_gate, "ry": c.add_RotY_gate, "rz": c.add_RotZ_gate,
               "cx": c.add_CNOT_gate, "cz": c.add_CZ_gate, "swap": c.add_SWAP_gate}
        for gate, params, qubits in ops:
            if gate != "measure_all":
                add[gate](*qubits, *params)
        return c

    def probabilities(self, n, gates):
        import numpy as np
        state = self.q.QuantumState(n)
        self._circuit(n, gates).update_quantum_state(state)
        return np.abs(state.get_vector()) ** 2

    def prepare(self, n, ops, shots, threads):
        return n, self._circuit(n, ops), shots

    def run(self, job):
        import numpy as np
        n, c, shots = job
        state = self.q.QuantumState(n)
        c.update_quantum_state(state)
        if not shots:
            return state
        values, tallies = np.unique(np.asarray(state.sampling(shots, SEED)), return_counts=True)
        return {format(int(v), f"0{n}b"): int(k) for v, k in zip(values, tallies)}

    def counts(self, result):
        return result


class Lightning:
    # PennyLane orders the state with wire 0 most significant, so qubit q maps
    # to wire n-1-q; state indices and count keys then match vorn's.
    def __init__(self, threads):
        import pennylane as qml
        import pennylane_lightning  # noqa: F401  (fails early when the plugin is missing)
        self.qml = qml

    def version(self):
        from importlib.metadata import version
        return f"pennylane-lightning {version('pennylane-lightning')}, pennylane {self.qml.__version__}"

    def _qnode(self, n, ops, shots):
        qml = self.qml
        gates = {"h": qml.Hadamard, "x": qml.PauliX, "z": qml.PauliZ, "rx": qml.RX,
                 "ry": qml.RY, "rz": qml.RZ, "cx": qml.CNOT, "cz": qml.CZ, "swap": qml.SWAP}
        dev = qml.device("lightning.qubit", wires=n, seed=SEED)

        def body():
            for gate, params, qubits in ops:
                if gate != "measure_all":
                    gates[gate](*params, wires=[n - 1 - q for q in qubits])
            return qml.counts() if shots else qml.state()
        return qml.QNode(body, dev, shots=shots or None)

    def probabilities(self, n, gates):
        import numpy as np
        return np.abs(np.asarray(self._qnode(n, gates, 0)())) ** 2

    def prepare(self, n, ops, shots, threads):
        return self._qnode(n, ops, shots)

    def run(self, job):
        return job()

    def counts(self, result):
        return {str(k): int(v) for k, v in result.items()}


ADAPTERS = {"vorn": Vorn, "vorn_fused": VornFused, "aer": Aer, "qulacs": Qulacs, "lightning": Lightning}


# ---------------------------------------------------------------- worker side
def _peak_mib():
    status = Path("/proc/self/status").read_text()
    m = re.search(r"VmHWM:\s+(\d+) kB", status)
    if m:
        return int(m.group(1)) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _reset_peak():
    """Forget the check run's peak so VmHWM covers the timed runs only."""
    try:
        Path("/proc/self/clear_refs").write_text("5")
        return True
    except OSError:
        return False


def _compare(probs, ref_path):
    import numpy as np
    ref = np.load(ref_path)
    if ref.shape != probs.shape:
        return float("inf")
    return float(np.max(np.abs(ref - probs)))


def _check_counts(counts, n, shots):
    keys = {"0" * n, "1" * n}
    total = sum(counts.values())
    if total != shots or not set(counts) <= keys or len(counts) != 2:
        raise RuntimeError(f"ghz counts wrong: {len(counts)} keys, total {total}")


def _cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def open_cell(adapters, a, out):
    """The simulator of cell `a`, with its version in `out`; None once the
    cell's JSON line is printed instead (a peer that does not import, or a
    probe, which only asks for the version)."""
    try:
        sim = adapters[a.sim](a.threads)
    except Exception as e:  # a peer that does not import is reported, not fatal
        out.update(status="unavailable", reason=f"{type(e).__name__}: {e}")
        print(json.dumps(out))
        return None
    out["version"] = sim.version()
    if a.probe:
        out["status"] = "ok"
        print(json.dumps(out))
        return None
    return sim


def worker(a):
    """One (simulator, workload, n) cell; prints one JSON line."""
    import numpy as np
    out = {"sim": a.sim, "workload": a.workload, "n": a.n}
    sim = open_cell(ADAPTERS, a, out)
    if sim is None:
        return
    ops = BUILDERS[a.workload](a.n)
    gates, shots = split_measure(ops)
    t0 = time.perf_counter()
    probs = np.ascontiguousarray(sim.probabilities(a.n, gates), dtype=np.float64)
    t_check = time.perf_counter() - t0
    if a.role == "ref":
        np.save(a.ref, probs)
        out["max_diff"] = 0.0
    else:
        out["max_diff"] = _compare(probs, a.ref)
        if not out["max_diff"] <= TOLERANCE:
            out.update(status="mismatch")
            print(json.dumps(out))
            return
    del probs
    gc.collect()
    out["peak_reset"] = _reset_peak()
    job = sim.prepare(a.n, ops, shots, a.threads)
    if shots or t_check < WARMUP_SKIP_S:
        result = sim.run(job)
        if shots:
            _check_counts(sim.counts(result), a.n, shots)
        del result
    repeats = max(1, min(a.max_repeats, int(a.cell_budget / max(t_check, 1e-6))))
    times, cpu = [], []
    for _ in range(repeats):
        gc.collect()
        c0, t0 = _cpu_seconds(), time.perf_counter()
        result = sim.run(job)
        t = time.perf_counter() - t0
        cpu.append(_cpu_seconds() - c0)
        times.append(t)
        del result
    out.update(status="ok", seconds=statistics.median(times), times=times,
               cpu_per_wall=sum(cpu) / sum(times), peak_mib=_peak_mib(), gates=len(gates),
               os_threads=len(os.listdir("/proc/self/task")))
    print(json.dumps(out))


# ---------------------------------------------------------------- driver side
def worker_env(threads):
    env = dict(os.environ)
    env.update(RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    return env


def spawn(args, sim, workload, n, extra, timeout):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", "--sim", sim,
           "--workload", workload, "--n", str(n), "--threads", str(args.threads)] + extra
    try:
        p = subprocess.run(cmd, env=worker_env(args.threads), capture_output=True,
                           text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"sim": sim, "workload": workload, "n": n, "status": "error",
                "reason": f"timed out after {timeout} s"}
    lines = [ln for ln in p.stdout.splitlines() if ln.startswith("{")]
    if p.returncode != 0 or not lines:
        tail = (p.stderr.strip().splitlines() or ["no output"])[-1]
        return {"sim": sim, "workload": workload, "n": n, "status": "error",
                "reason": f"exit {p.returncode}: {tail[:200]}"}
    return json.loads(lines[-1])


def probe(args):
    found, skipped = {}, {}
    for sim in [s for s in args.simulators if s in ADAPTERS]:
        r = spawn(args, sim, "ghz", 2, ["--probe"], 300)
        if r["status"] == "ok":
            found[sim] = r["version"]
        else:
            skipped[sim] = r.get("reason", r["status"])
        print(f"  {LABELS[sim]:10s} {found.get(sim) or 'SKIPPED: ' + skipped[sim]}", flush=True)
    return found, skipped


def predicted(prev, workload, n):
    """Run time at n from the time at a smaller size: state size times gate count."""
    if not prev:
        return 0.0
    pn, ps = prev
    g = lambda m: len(BUILDERS[workload](m))
    return ps * 2 ** (n - pn) * g(n) / g(pn)


def repeats_for(args, n):
    return max(1, args.max_repeats - max(0, n - 20))


def run_all(args, sims, tmp):
    results, last = [], {}
    for n in args.sizes:
        for workload in args.workloads:
            ref = str(Path(tmp) / f"ref_{workload}_{n}.npy")
            role = "ref"
            for sim in sims:
                est = predicted(last.get((sim, workload)), workload, n)
                if est > args.max_run:
                    r = {"sim": sim, "workload": workload, "n": n, "status": "skipped",
                         "reason": f"predicted {est:.0f} s per run > --max-run {args.max_run:.0f} s"}
                else:
                    extra = ["--role", role, "--ref", ref, "--max-repeats", str(repeats_for(args, n)),
                             "--cell-budget", str(args.cell_budget)]
                    load = os.getloadavg()[0]
                    r = spawn(args, sim, workload, n, extra, timeout=max(600, 30 * est))
                    r["load"] = load
                results.append(r)
                _log(r)
                if r["status"] == "ok":  # else the next simulator becomes the reference
                    last[(sim, workload)] = (n, r["seconds"])
                    role = "check"
            if os.path.exists(ref):
                os.remove(ref)
    return results


def _log(r):
    if r["status"] == "ok":
        msg = (f"{r['seconds']:.4f} s (x{len(r['times'])}), {r['peak_mib']:.0f} MiB, "
               f"cpu/wall {r['cpu_per_wall']:.2f}, max diff {r['max_diff']:.1e}")
    else:
        msg = f"{r['status'].upper()}: {r.get('reason', '')}{r.get('max_diff', '')}"
    print(f"  n={r['n']:2d} {r['workload']:9s} {LABELS[r['sim']]:10s} {msg}", flush=True)


# ---------------------------------------------------------------- report
def _cell(r):
    if r is None:
        return "–"
    if r["status"] == "ok":
        return f"{r['seconds']:.4f}"
    if r["status"] == "mismatch":
        return f"mismatch ({r['max_diff']:.1e})"
    return r["status"]


def _ratio(rows, sims):
    v = rows.get("vorn")
    peers = [(rows[s]["seconds"], s) for s in sims if s not in OURS and (rows.get(s) or {}).get("status") == "ok"]
    if not v or v["status"] != "ok" or not peers:
        return "–"
    best = min(peers)
    return f"{v['seconds'] / best[0]:.2f} ({LABELS[best[1]]})"


def _fused_ratio(rows):
    f, a = rows.get("vorn_fused"), rows.get("aer")
    if not f or not a or f["status"] != "ok" or a["status"] != "ok":
        return "–"
    return f"{f['seconds'] / a['seconds']:.2f}"


def _slower(args, sims, by):
    """Cells where vorn lost to the fastest peer, with the factor."""
    out = []
    for w in args.workloads:
        for n in args.sizes:
            rows = {s: by.get((w, n, s)) for s in sims}
            ratio = _ratio(rows, sims)
            if ratio != "–" and float(ratio.split()[0]) > 1:
                out.append(f"- {w} n={n}: vorn / fastest peer = {ratio}")
    if "vorn" not in sims:
        return []
    return ["", "Where vorn is slower than the fastest peer:", ""] + (out or ["- nowhere"])


def machine_text():
    cpu = "unknown CPU"
    try:
        m = re.search(r"model name\s*:\s*(.+)", Path("/proc/cpuinfo").read_text())
        cpu = m.group(1).strip() if m else cpu
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    return f"{cpu}, {os.cpu_count()} logical CPUs, {mem:.0f} GiB, {platform.platform()}"


def report(args, sims, versions, skipped, results, load, elapsed):
    by = {(r["workload"], r["n"], r["sim"]): r for r in results}
    lines = [
        "# vorn vs peer simulators",
        "",
        f"Generated by `bench/compare.py` on {dt.datetime.now(dt.timezone.utc):%Y-%m-%d %H:%M} UTC "
        f"in {elapsed / 60:.1f} min.",
        f"Machine: {machine_text()}. Load average before/after: {load[0]} / {load[1]} "
        "(the machine is shared; numbers may be noisy).",
        f"Sizes: {', '.join(map(str, args.sizes))} qubits (default {', '.join(map(str, DEFAULT_SIZES))}).",
        f"Threads: {args.threads} for every simulator (vorn: RAYON_NUM_THREADS; Aer: max_parallel_threads "
        "and OMP_NUM_THREADS; Qulacs and Lightning: OMP_NUM_THREADS).",
        "",
        "Simulators:",
    ]
    lines += [f"- {LABELS[s]}: {versions[s]}" for s in sims]
    lines += [f"- {LABELS[s]}: skipped ({why})" for s, why in skipped.items()]
    lines += [
        "",
        "Times are the median of the timed repeats in seconds, after a probability check "
        f"(max |difference| ≤ {TOLERANCE:g} against {LABELS[sims[0]]}) and a warm-up; "
        "ratio is vorn / fastest peer (below 1: vorn is faster; vorn fusion=True is not a peer); fused / Aer "
        "compares vorn with fusion=True and Aer with its default fusion. Memory is the peak resident size "
        "(VmHWM, MiB) of a fresh process per simulator, workload and size, over the timed runs.",
    ]
    for w in args.workloads:
        lines += ["", f"## {w}", "", ABOUT[w] + ".", "",
                  "| n | " + " | ".join(f"{LABELS[s]} s" for s in sims) + " | vorn / fastest peer | "
                  + "fused / Aer | " + " | ".join(f"{LABELS[s]} MiB" for s in sims) + " |",
                  "|---:" * (2 * len(sims) + 3) + "|"]
        for n in args.sizes:
            rows = {s: by.get((w, n, s)) for s in sims}
            mem = [f"{r['peak_mib']:.0f}" if r and r["status"] == "ok" else "–" for r in rows.values()]
            lines.append(f"| {n} | " + " | ".join(_cell(r) for r in rows.values())
                         + f" | {_ratio(rows, sims)} | {_fused_ratio(rows)} | " + " | ".join(mem) + " |")
    notes = [r for r in results if r["status"] not in ("ok",)]
    lines += ["", "## Parallelism and notes", "",
              "CPU time / wall time over the timed runs (how many of the threads were busy), at each simulator's "
              "largest timed size:", ""]
    for s in sims:
        oks = [r for r in results if r["sim"] == s and r["status"] == "ok"]
        if oks:
            top = max(r["n"] for r in oks)
            vals = ", ".join(f"{r['workload']} {r['cpu_per_wall']:.2f}" for r in oks if r["n"] == top)
            lines.append(f"- {LABELS[s]} (n={top}, {oks[-1]['os_threads']} OS threads in the process): {vals}")
    loads = [r["load"] for r in results if "load" in r]
    if loads:
        lines += ["", f"1-minute load average when each cell started: {min(loads):.2f} to {max(loads):.2f} "
                  f"(the {os.cpu_count()} CPUs are shared with other work; a load above {os.cpu_count()} "
                  "slows OpenMP-based peers most)."]
    if any(r.get("peak_reset") is False for r in results):
        lines.append("/proc/self/clear_refs was not writable: peaks include the probability check run.")
    lines += _slower(args, sims, by)
    if notes:
        lines += [""] + [f"- {LABELS[r['sim']]} {r['workload']} n={r['n']}: {r['status']} "
                         f"{r.get('reason', '')}" for r in notes]
    return "\n".join(lines) + "\n"


def plot(args, sims, results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    cols = 2
    rows = math.ceil(len(args.workloads) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(11, 4.2 * rows), squeeze=False)
    for ax, w in zip(axes.flat, args.workloads):
        for s in sims:
            pts = sorted((r["n"], r["seconds"]) for r in results
                         if r["sim"] == s and r["workload"] == w and r["status"] == "ok")
            if pts:
                ax.plot(*zip(*pts), marker="o", color=COLORS[s], label=LABELS[s])
        ax.set_yscale("log")
        ax.set_title(w)
        ax.set_xlabel("qubits")
        ax.set_ylabel("seconds (median)")
        ax.set_xticks(args.sizes)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    for ax in list(axes.flat)[len(args.workloads):]:
        ax.axis("off")
    fig.suptitle(f"vorn vs peers, {args.threads} threads each")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)),
                   help="comma-separated qubit counts (default: %(default)s)")
    p.add_argument("--quick", action="store_true", help="smoke test: n = 16, 20 and fewer repeats")
    p.add_argument("--threads", type=int, default=2, help="threads for every simulator (default 2)")
    p.add_argument("--simulators", default=",".join(SIMULATORS), help="subset, comma-separated")
    p.add_argument("--workloads", default=",".join(WORKLOADS), help="subset, comma-separated")
    p.add_argument("--max-repeats", type=int, default=7,
                   help="timed repeats at n <= 20; one fewer per qubit above 20, at least 1")
    p.add_argument("--cell-budget", type=float, default=20.0,
                   help="seconds of timed repeats aimed at per cell (repeats shrink for slow runs)")
    p.add_argument("--max-run", type=float, default=90.0,
                   help="skip a cell whose single run is predicted to take longer (seconds)")
    p.add_argument("--out-dir", default=str(RESULTS_DIR))
    p.add_argument("--suites", default=",".join(("gates",) + compare_package.SUITES),
                   help="gates (the workloads above) and the vorn package's suites (qasm, parser, expval, "
                        "sampling: see bench/compare_package.py), comma-separated (default: %(default)s)")
    compare_package.add_arguments(p)
    # worker-process arguments
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--probe", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--sim", help=argparse.SUPPRESS)
    p.add_argument("--workload", help=argparse.SUPPRESS)
    p.add_argument("--n", type=int, help=argparse.SUPPRESS)
    p.add_argument("--role", default="ref", help=argparse.SUPPRESS)
    p.add_argument("--ref", help=argparse.SUPPRESS)
    a = p.parse_args(argv)
    a.sizes = list(QUICK_SIZES) if a.quick else sorted(int(s) for s in a.sizes.split(","))
    if a.quick:
        a.max_repeats = min(a.max_repeats, 3)
    a.suites = [s for s in a.suites.split(",") if s]
    bad = [s for s in a.suites if s not in ("gates",) + compare_package.SUITES]
    if bad:
        p.error(f"unknown suite: {', '.join(bad)}")
    compare_package.finish_arguments(p, a)
    a.simulators = [s for s in a.simulators.split(",") if s]
    a.workloads = [w for w in a.workloads.split(",") if w]
    bad = [s for s in a.simulators if s not in ADAPTERS and s not in compare_package.ADAPTERS] + \
        [w for w in a.workloads if w not in BUILDERS]
    if bad:
        p.error(f"unknown simulator or workload: {', '.join(bad)}")
    return a


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.worker:
        worker(args)
        return 0
    status = run_gates(args) if "gates" in args.suites else 0
    if any(s in args.suites for s in compare_package.SUITES):
        status = max(status, compare_package.run(args))
    return status


def run_gates(args):
    """The gate workloads above; writes compare.{md,json,png}."""
    start, load0 = time.time(), os.getloadavg()
    print(f"threads={args.threads} sizes={args.sizes} workloads={args.workloads}")
    print("simulators (RAYON_NUM_THREADS / OMP_NUM_THREADS / Aer max_parallel_threads "
          f"= {args.threads}):", flush=True)
    versions, skipped = probe(args)
    sims = [s for s in args.simulators if s in versions]  # in the order given
    if not sims:
        print("no simulator imports; nothing to measure")
        return 1
    if "vorn" not in sims:
        print("NOTE: vorn does not import; peers are compared among themselves")
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp:
        results = run_all(args, sims, tmp)
    load1 = os.getloadavg()
    fmt = lambda la: ", ".join(f"{x:.2f}" for x in la)
    out = Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    stem = "compare-quick" if args.quick else "compare"
    md = report(args, sims, versions, skipped, results, (fmt(load0), fmt(load1)), time.time() - start)
    (out / f"{stem}.md").write_text(md)
    (out / f"{stem}.json").write_text(json.dumps(results, indent=1))
    plot(args, sims, results, out / f"{stem}.png")
    print(md)
    print(f"wrote {out / (stem + '.md')} and {out / (stem + '.png')}")
    return 1 if any(r["status"] in ("mismatch", "error") for r in results) else 0


import compare_package  # noqa: E402  (it imports this module's helpers)

if __name__ == "__main__":
    sys.exit(main())
