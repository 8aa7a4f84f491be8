"""Smoke test of an installed wheel against the development build.

``python tools/wheel_smoke.py save FILE`` (run on the development build) trains a few models on
seeded samples and writes them to FILE: each model's recipe, its saved bytes and its answers to
held-out samples. ``python tools/wheel_smoke.py check FILE README`` (run by the interpreter of a
fresh venv holding the wheel, from outside the checkout) checks that the wheel's modules are the
ones imported and that the wheel holds its stubs and ``py.typed``; runs the README's first
example; loads every saved model and compares its answers; trains each recipe again and compares
the saved bytes, so that the wheel's build and the development build compute the same; and fits
the scikit-learn wrapper (the ``sklearn`` extra). Python's own generator makes the samples, so they
do not depend on the NumPy version either side has.
"""

from __future__ import annotations

import contextlib
import importlib
import io
import pickle
import random
import re
import sys
import sysconfig
from pathlib import Path
from typing import Any

# (name, class, constructor keywords, task): classes whose code paths differ most.
RECIPES: list[tuple[str, str, dict[str, Any], str]] = [
    ("naive_bayes", "NaiveBayes", {}, "classification"),
    ("tree", "HoeffdingTreeClassifier", {"grace_period": 50}, "classification"),
    ("forest", "ARFClassifier", {"n_models": 3, "seed": 7}, "classification"),
    ("boosting", "SGBTClassifier", {"n_models": 3, "seed": 7}, "classification"),
    ("regression_tree", "HoeffdingTreeRegressor", {"grace_period": 50}, "regression"),
    ("knn", "KNNRegressor", {"n_neighbors": 3}, "regression"),
    ("baseline", "MajorityClassClassifier", {}, "classification"),  # the module beside the core
]
TRAIN, QUERIES = 1500, 200


def samples(task: str, n: int, seed: int) -> list[tuple[dict[str, float], Any]]:
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        x = {f"f{j}": rng.gauss(0.0, 1.0) for j in range(5)}
        score = x["f0"] + 0.5 * x["f1"] - x["f2"] * x["f3"]
        out.append((x, int(score > 0) + int(score > 1) if task == "classification" else score + rng.gauss(0, 0.1)))
    return out


def train(cls_name: str, params: dict[str, Any], task: str) -> Any:
    import tarvo

    model = getattr(tarvo, cls_name)(**params)
    for x, y in samples(task, TRAIN, seed=1):
        model.learn_one(x, y)
    return model


def answers(model: Any, task: str) -> list[Any]:
    queries = [x for x, _ in samples(task, QUERIES, seed=2)]
    if task == "classification":
        return [(model.predict_one(x), sorted(model.predict_proba_one(x).items())) for x in queries]
    return [model.predict_one(x) for x in queries]


def save(path: Path) -> None:
    records = {}
    for name, cls_name, params, task in RECIPES:
        model = train(cls_name, params, task)
        records[name] = {"class": cls_name, "params": params, "task": task, "blob": pickle.dumps(model),
                         "answers": answers(model, task)}
    path.write_bytes(pickle.dumps(records))
    print(f"saved {len(records)} models from the development build to {path}")


def check_installed_files() -> None:
    import _tarvo_batch
    import _tarvo_core
    import _tarvo_extra
    import tarvo

    site = Path(sysconfig.get_path("platlib")).resolve()
    for module in (tarvo, _tarvo_core, _tarvo_extra, _tarvo_batch):
        where = Path(module.__file__ or "").resolve()
        assert site in where.parents, f"{module.__name__} imported from {where}, not from the wheel in {site}"
    for name in ("tarvo/py.typed", "_tarvo_core-stubs/__init__.pyi", "_tarvo_batch-stubs/__init__.pyi",
                 "_tarvo_extra-stubs/__init__.pyi",                  "tarvo/stream/readers.py"):
        assert (site / name).is_file(), f"the wheel lacks {name}"
    from importlib import metadata

    dist = metadata.distribution(tarvo.__distribution__)
    assert dist.version == tarvo.__version__, (dist.version, tarvo.__version__)
    assert any(str(f).endswith("LICENSE") for f in dist.files or []), "the wheel lacks its license file"
    print(f"{tarvo.__distribution__} {tarvo.__version__} imported from {site}")


def check_readme(readme: Path) -> None:
    code = re.findall(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), flags=re.S)[0]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(readme), "exec"), {})
    printed = out.getvalue()
    expected = re.search(r"# accuracy (\S+)", code)
    assert expected and f"accuracy {expected.group(1)}" in printed, printed
    print(f"the README's first example printed: {printed.splitlines()[0]}")


def check_models(path: Path) -> None:
    records = pickle.loads(path.read_bytes())
    for name, record in records.items():
        loaded = pickle.loads(record["blob"])
        assert type(loaded).__name__ == record["class"], name
        assert answers(loaded, record["task"]) == record["answers"], f"{name}: answers differ after loading"
        again = train(record["class"], record["params"], record["task"])
        assert pickle.dumps(again) == record["blob"], f"{name}: the wheel's build learns other bytes"
    print(f"{len(records)} models of the development build load with the same answers and relearn the same bytes")


def check_sklearn() -> None:
    import numpy as np

    from tarvo import HoeffdingTreeClassifier, batch
    from tarvo.sklearn import OnlineClassifier

    rng = np.random.default_rng(0)
    X = rng.normal(size=(2000, 4))
    y = np.where(X[:, 0] + X[:, 1] > 0, "yes", "no")
    model = OnlineClassifier(HoeffdingTreeClassifier()).fit(X, y)
    assert model.score(X, y) > 0.8 and list(model.classes_) == ["no", "yes"]
    native = HoeffdingTreeClassifier()
    batch.learn_many(native, X, (y == "yes").astype(int))
    assert pickle.dumps(native) == pickle.dumps(model.model_)
    print(f"tarvo.sklearn fits (accuracy {model.score(X, y):.3f}), as batch.learn_many does")


def main(argv: list[str]) -> int:
    if len(argv) == 2 and argv[0] == "save":
        save(Path(argv[1]))
        return 0
    if len(argv) == 3 and argv[0] == "check":
        importlib.invalidate_caches()
        check_installed_files()
        check_readme(Path(argv[2]))
        check_models(Path(argv[1]))
        check_sklearn()
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
