"""The MOA side of the peer benchmarks, run by ``bench/moa_peer.py`` in the Python that has capymoa.

Usage: ``python moa_worker.py DIR``. DIR holds ``request.json`` (``{"task": ..., "params": {...}}``) and
``in.npz`` (the task's arrays); the worker writes ``out.json`` and ``out.npz`` beside them. It never
imports tarvo: this interpreter is the peer's venv, not the project's.

MOA is used as a black box through capymoa's public API, plus ``MoaLoop.java`` (beside this file),
compiled here with javac against the MOA jar capymoa ships, which runs the same calls in a Java loop
so that the figures can tell MOA's own cost from the Python-to-Java crossing of each call.

Tasks:

- ``probe``: the versions in use (capymoa, Java, the MOA jar).
- ``hst``: Half-Space Trees over ``X`` (rows already scaled to [0, 1] by the caller), each row
  scored and then trained on, on a fresh model for each of ``seeds``, in the Java loop
  (``getAnomalyScore`` then ``trainOnInstance``); returns the scores, one row per seed. The first
  seed is also run once from Python (capymoa's ``score_instance`` then ``train``, on instances
  built beforehand) and timed both ways, the Java loop best of ``repeat``.
- ``drift``: each detector over each stream of ``values`` (cut by ``offsets``) in the Java loop,
  returning the rows after which it reported a change; then the time per update on
  ``timing_values`` from Python (capymoa's ``add_element`` then ``detected_change``) and in the Java
  loop.
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import tempfile
import time
from typing import Any

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent


def java_loop() -> Any:
    """The MoaLoop class, compiled into a temporary directory and loaded into the running JVM."""
    import capymoa  # noqa: F401  (starts the JVM with the MOA jar)
    import jpype

    system = jpype.JClass("java.lang.System")
    classpath = str(system.getProperty("java.class.path"))
    out = pathlib.Path(tempfile.mkdtemp(prefix="tarvo-moa-loop-"))
    subprocess.run(["javac", "--release", "17", "-cp", classpath, "-d", str(out), str(HERE / "MoaLoop.java")],
                   check=True, capture_output=True)
    url = jpype.JClass("java.io.File")(str(out)).toURI().toURL()
    loader = jpype.JClass("java.net.URLClassLoader")(
        jpype.JArray(jpype.JClass("java.net.URL"))([url]), jpype.JClass("moa.classifiers.Classifier").class_.getClassLoader())
    return jpype.JClass("MoaLoop", loader=loader)


def probe(params: dict[str, Any], arrays: dict[str, np.ndarray]) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    import capymoa
    import jpype

    system = jpype.JClass("java.lang.System")
    jars = [pathlib.Path(p).name for p in str(system.getProperty("java.class.path")).split(":") if "moa" in pathlib.Path(p).name.lower()]
    java_loop()  # javac must work too
    return {"capymoa": capymoa.__version__, "java": str(system.getProperty("java.version")), "jars": jars}, {}


def hst(params: dict[str, Any], arrays: dict[str, np.ndarray]) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    import jpype
    from capymoa.anomaly import HalfSpaceTrees
    from capymoa.stream import NumpyStream

    X = np.ascontiguousarray(arrays["X"], dtype=np.float64)
    # Every row is given the class 0: the detector learns without labels, as ours does.
    stream = NumpyStream(X, np.zeros(len(X), dtype=np.int64), target_type="categorical")
    schema = stream.get_schema()
    instances = []
    while stream.has_more_instances():
        instances.append(stream.next_instance())
    seeds = params["seeds"]

    def make(seed: int) -> Any:
        return HalfSpaceTrees(schema, random_seed=seed, window_size=params["window_size"],
                              number_of_trees=params["n_trees"], max_depth=params["height"])

    model = make(seeds[0])
    scores_py = np.empty(len(X))
    score, train = model.score_instance, model.train
    began = time.perf_counter_ns()
    for i, inst in enumerate(instances):
        scores_py[i] = score(inst)
        train(inst)
    py_ns = (time.perf_counter_ns() - began) / len(X)

    loop = java_loop()
    rows = jpype.JArray(jpype.JClass("com.yahoo.labs.samoa.instances.Instance"))(
        [i.java_instance.getData() for i in instances])
    java_ns = float("inf")
    scores_java = np.empty((len(seeds), len(X)))
    for k, seed in enumerate(seeds):
        for _ in range(params.get("repeat", 2) if k == 0 else 1):
            out = jpype.JArray(jpype.JDouble)(len(X))
            elapsed = loop.scoreThenLearn(make(seed).moa_learner, rows, out) / len(X)
            if k == 0:
                java_ns = min(java_ns, elapsed)
            scores_java[k] = np.array(out)
    return ({"python_ns_per_row": py_ns, "java_ns_per_row": java_ns,
             "python_and_java_agree": bool(np.array_equal(scores_py, scores_java[0]))},
            {"scores_java": scores_java})


def detector(setup: dict[str, Any]) -> Any:
    from capymoa.drift import detectors

    return getattr(detectors, setup["cls"])(**setup.get("kwargs", {}))


def drift(params: dict[str, Any], arrays: dict[str, np.ndarray]) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    import jpype

    loop = java_loop()
    values, offsets = arrays["values"].astype(np.float64), arrays["offsets"]
    timing_values = arrays["timing_values"].astype(np.float64)
    results: dict[str, np.ndarray] = {}
    info: dict[str, Any] = {}
    for setup in params["detectors"]:
        name = setup["name"]
        fired, cuts = [], [0]
        for a, b in zip(offsets[:-1], offsets[1:]):
            flags = jpype.JArray(jpype.JBoolean)(int(b - a))
            loop.detect(detector(setup).moa_detector, jpype.JArray(jpype.JDouble)(values[a:b]), flags)
            hits = np.flatnonzero(np.array(flags, dtype=bool))
            fired.append(hits)
            cuts.append(cuts[-1] + len(hits))
        results[f"fired/{name}"] = np.concatenate(fired).astype(np.int64)
        results[f"cuts/{name}"] = np.array(cuts, dtype=np.int64)

        d = detector(setup)
        add, changed = d.add_element, d.detected_change
        timed = timing_values.tolist()
        py_hits = []
        began = time.perf_counter_ns()
        for i, v in enumerate(timed):
            add(v)
            if changed():
                py_hits.append(i)
        py_ns = (time.perf_counter_ns() - began) / len(timed)
        java_ns = float("inf")
        java_values = jpype.JArray(jpype.JDouble)(timing_values)
        for _ in range(params.get("repeat", 3)):
            flags = jpype.JArray(jpype.JBoolean)(len(timed))
            java_ns = min(java_ns, loop.detect(detector(setup).moa_detector, java_values, flags) / len(timed))
        java_hits = np.flatnonzero(np.array(flags, dtype=bool)).tolist()
        info[name] = {"python_ns_per_update": py_ns, "java_ns_per_update": java_ns,
                      "python_and_java_agree": py_hits == java_hits}
    return info, results


TASKS = {"probe": probe, "hst": hst, "drift": drift}


def main() -> None:
    folder = pathlib.Path(sys.argv[1])
    request = json.loads((folder / "request.json").read_text())
    inputs = folder / "in.npz"
    arrays = dict(np.load(inputs)) if inputs.exists() else {}
    info, out = TASKS[request["task"]](request.get("params", {}), arrays)
    np.savez(folder / "out.npz", **out)
    (folder / "out.json").write_text(json.dumps(info))


if __name__ == "__main__":
    main()
