"""`tarvo serve` over real HTTP on 127.0.0.1: the wire format, delayed labels, hostile input, the
order of the model's calls, and the token."""

from __future__ import annotations

import random
import threading
import time

import pytest

from serve_support import Server, replay, saved

import httpx  # noqa: E402  (after serve_support, which skips without the extra)

from tarvo import ARFClassifier, HoeffdingTreeClassifier
from tarvo.serve.metrics import parse
from tarvo.serve import ServedModel
from tarvo.serve.wire import LearnRequest
from tarvo.stream import encode_row


def rows_of(rng: random.Random, n: int) -> tuple[list[dict[str, float]], list[int]]:
    rows = [{"a": rng.gauss(0, 1), "b": rng.gauss(0, 1), "c": float(rng.randrange(3))} for _ in range(n)]
    return rows, [int(r["a"] + 0.5 * r["b"] > 0) for r in rows]


@pytest.fixture(scope="module")
def traced(tmp_path_factory):
    """One classifier server with a trace, shared by the tests that check the model against it."""
    base = tmp_path_factory.mktemp("traced")
    server = Server(base / "state", "--model", "HoeffdingTreeClassifier", "--param", "grace_period=20",
                    "--trace", str(base / "trace.jsonl"), "--max-rows", "500", "--max-body-mib", "0.5")
    server.trace = base / "trace.jsonl"
    yield server
    server.stop()


def test_predict_learn_delayed_labels_and_retries(traced):
    rng = random.Random(1)
    before = traced.client.get("/model").json()["rows_learnt"]
    rows, labels = rows_of(rng, 60)
    reply = traced.post("/learn", {"rows": rows, "labels": labels, "request_id": "first-batch"})
    assert reply.status_code == 200 and reply.json() == {"learnt": 60, "missing": []}
    again = traced.post("/learn", {"rows": rows[:1], "labels": labels[:1], "request_id": "first-batch"})
    assert again.status_code == 200 and again.json() == {"learnt": 60, "missing": []}  # the first reply, nothing learnt

    asked, truth = rows_of(rng, 40)
    answers = traced.post("/predict", {"rows": asked}).json()["predictions"]
    assert [set(a) for a in answers] == [{"id", "prediction", "probabilities"}] * 40
    assert all(abs(sum(a["probabilities"].values()) - 1) < 1e-9 for a in answers)
    assert all(str(a["prediction"]) in a["probabilities"] for a in answers)
    ids = [a["id"] for a in answers]
    assert len(set(ids)) == 40

    mixed = traced.post("/learn", {"ids": [ids[0], "no-such-id", ids[1]], "labels": truth[:2] + [truth[1]]})
    assert mixed.status_code == 200 and mixed.json() == {"learnt": 2, "missing": ["no-such-id"]}
    assert mixed.json()["learnt"] == 2
    gone = traced.post("/learn", {"ids": [ids[0], "no-such-id"], "labels": [1, 0]})
    assert gone.status_code == 404
    assert gone.json()["missing"] == [ids[0], "no-such-id"] and gone.json()["learnt"] == 0
    assert "no-such-id" in gone.json()["error"]
    rest = traced.post("/learn", {"ids": ids[2:], "labels": truth[2:]})
    assert rest.json() == {"learnt": 38, "missing": []}

    model = traced.client.get("/model").json()
    assert model["rows_learnt"] == before + 100 and model["labels"] == [0, 1]
    assert model["repr"].startswith("HoeffdingTreeClassifier(grace_period=20")
    figures = parse(traced.client.get("/metrics").text)
    assert figures["tarvo_scored_predictions_total"] >= 40
    assert 0.5 < figures["tarvo_prequential{metric=accuracy}"] <= 1.0
    assert figures["tarvo_rows_learnt_total"] == before + 100
    assert figures['tarvo_requests_total{endpoint=learn,status=404}'] >= 1


# (body, status, words the error names): every one leaves the model as it was.
HOSTILE = [
    (b'{"rows": [{"a": 1.0}', 400, "malformed JSON"),
    (b"\xff\xfe", 400, "UTF-8"),
    (b'{"rows": [{"a": NaN}]}', 400, "rows[0]['a']"),
    (b'{"rows": [{"a": 1}, {"b": -Infinity}]}', 400, "rows[1]['b']"),
    (b'{"rows": [{"a": [1, 2]}]}', 400, "rows[0]['a']: a list"),
    (b'{"rows": [{"a": {"x": 1}}]}', 400, "rows[0]['a']: an object"),
    (b'{"rows": [{"a": true}]}', 400, "rows[0]['a']"),
    (b'{"rows": [{"a": "\\ud800"}]}', 400, "rows[0]['a']: the text is no valid text"),
    (b'{"rows": [{"a": 1e999999}]}', 400, "rows[0]['a']"),  # parsed as inf by Python's float
    (b'{"rows": [{"a": 123456789012345678901234567890123456789012345678901234567890' + b"0" * 400 + b'}]}', 400,
     "rows[0]['a']"),
    (b'{"rows": [{"a": ' + b"9" * 5000 + b'}]}', 400, "body: Exceeds the limit"),
    (b'{"rows": [{"\\ud800": 1}]}', 400, "lone surrogate"),
    (b'{"rows": {"a": 1}}', 400, "rows: an object is not a list"),
    (b'{"rows": [5]}', 400, "rows[0]"),
    (b'[1, 2]', 400, "body"),
    (b'{"rows": []}', 200, ""),
    (b'{"rowz": []}', 400, "rowz: unknown field"),
    (b'{"rows": [' + b"{}," * 500 + b"{}]}", 413, "rows: 501 items"),
    (b'{"rows": [{"a": 1}], "labels": [1]}', 400, "labels: unknown field"),
]

HOSTILE_LEARN = [
    (b'{"rows": [{"a": 1.0}]}', 400, "labels: missing"),
    (b'{"rows": [{"a": 1.0}], "labels": []}', 400, "labels: 0 labels for 1 rows"),
    (b'{"rows": [{"a": 1.0}], "labels": [0.5]}', 400, "labels[0]: the number 0.5"),
    (b'{"rows": [{"a": 1.0}], "labels": ["yes"]}', 400, "labels[0]: a text"),
    (b'{"rows": [{"a": 1.0}], "labels": [NaN]}', 400, "labels[0]: NaN"),
    (b'{"rows": [{"a": 1.0}], "labels": [4294967296]}', 400, "labels[0]: the label 4294967296"),
    (b'{"rows": [{"a": 1.0}], "labels": [null]}', 400, "labels[0]: null"),
    (b'{"rows": [{"a": 1.0}, {"a": Infinity}], "labels": [1, 0]}', 400, "rows[1]['a']"),
    (b'{"rows": [], "ids": [], "labels": []}', 400, "ids: give"),
    (b'{"labels": [1]}', 400, "rows: missing"),
    (b'{"ids": ["x", "x"], "labels": [1, 1]}', 400, "ids[1]: 'x' repeats ids[0]"),
    (b'{"ids": [7], "labels": [1]}', 400, "ids[0]"),
    (b'{"ids": ["x"], "labels": [1], "request_id": 5}', 400, "request_id"),
    (b'{"ids": ["x"], "labels": [1], "request_id": "' + b"r" * 201 + b'"}', 400, "request_id"),
    (b'{"ids": ["never-predicted"], "labels": [1]}', 404, "never-predicted"),
]


@pytest.mark.parametrize("path, body, status, named", [("/predict", *case) for case in HOSTILE]
                         + [("/learn", *case) for case in HOSTILE_LEARN])
def test_bad_requests_are_refused_naming_the_field(traced, path, body, status, named):
    before = traced.client.get("/model").json()["rows_learnt"]
    reply = traced.client.post(path, content=body)
    assert reply.status_code == status, reply.text
    if status != 200:
        assert named in reply.json()["error"] and "\n" not in reply.json()["error"]
    assert traced.client.get("/model").json()["rows_learnt"] == before


def test_limits_methods_and_paths(traced):
    big = b'{"rows": [{"a": 1}], "pad": "' + b"x" * (600 * 1024) + b'"}'
    assert traced.client.post("/predict", content=big).status_code == 413
    assert "bytes" in traced.client.post("/learn", content=big).json()["error"]
    assert traced.client.get("/predict").status_code == 405
    assert traced.client.get("/nowhere").json() == {"error": "/nowhere: Not Found"}


def test_text_features_are_encoded_as_the_library_encodes_them(tmp_path):
    """A text value is a category of its feature: learnt rows add it, predictions never do, and
    the served model's bytes equal a model fed the same rows through ``encode_row``."""
    rows = [{"size": float(k % 7), "colour": ["red", "green", "blue"][k % 3]} for k in range(90)]
    labels = [int(r["colour"] == "red") for r in rows]
    served = ServedModel.open(str(tmp_path / "state"), HoeffdingTreeClassifier(grace_period=20))
    try:
        assert served.learn(LearnRequest(labels, rows=rows))[0] == 200
        answers = served.predict([{"size": 1.0, "colour": "purple"}, {"size": 1.0, "colour": "red"}])
        model = served.model
        expected = HoeffdingTreeClassifier(grace_period=20)
        for x, y in zip(rows, labels):
            expected.learn_one(encode_row(expected, x, learn=True), y)
        assert saved(model) == saved(expected)  # the unseen "purple" added no category
        assert [a["prediction"] for a in answers] == [
            expected.predict_one(encode_row(expected, x, learn=False))
            for x in ({"size": 1.0, "colour": "purple"}, {"size": 1.0, "colour": "red"})]
    finally:
        served.close(snapshot=False)


def test_random_payloads_keep_the_server_up_and_equal_to_its_replay(traced):
    """A few thousand random bodies, valid or broken, from six clients at once: never a 5xx, and
    at the end the model (and every answer it gave) equals a single-threaded replay of the trace."""
    atoms = [0, 1, -1, 2**31, 2**31 - 1, -(2**31), 1.5, -0.0, 1e308, 5e-324, "x", "", None, True, False, [], {},
             [1], {"a": 1}]
    raw_atoms = [b"NaN", b"Infinity", b"-Infinity", b"1e400", b"-", b"[", b"{", b'"\\ud800"', b"0" * 500]
    ids: list[str] = []
    statuses: dict[int, int] = {}
    problems: list[str] = []

    def send(rng: random.Random, client: httpx.Client) -> None:
        endpoint = rng.choice(["/predict", "/learn", "/learn"])
        if rng.random() < 0.15:  # bytes: broken JSON, raw constants, truncations
            body = rng.choice([b'{"rows": [{"a": ' + rng.choice(raw_atoms) + b"}]}",
                               bytes(rng.randrange(256) for _ in range(rng.randrange(20))),
                               b'{"rows": [{"a": 1}], "labels": [' + rng.choice(raw_atoms) + b"]}"])
            reply = client.post(endpoint, content=body)
        else:
            n = rng.randrange(0, 6)
            rows = [{rng.choice("abcd"): (rng.gauss(0, 1) if rng.random() < 0.8 else rng.choice(atoms))
                     for _ in range(rng.randrange(4))} for _ in range(n)]
            labels = [rng.randrange(3) if rng.random() < 0.9 else rng.choice(atoms) for _ in range(n)]
            if rng.random() < 0.1:
                labels = labels[:-1]
            if endpoint == "/predict":
                body = {"rows": rows} if rng.random() < 0.95 else rng.choice(atoms)
            elif ids and rng.random() < 0.3:
                chosen = rng.sample(ids, min(len(ids), rng.randrange(1, 4))) + (["gone"] if rng.random() < 0.2 else [])
                body = {"ids": chosen, "labels": [rng.randrange(3) for _ in chosen]}
            else:
                body = {"rows": rows, "labels": labels}
                if rng.random() < 0.2:
                    body["request_id"] = f"fuzz-{rng.randrange(50)}"
            reply = client.post(endpoint, json=body)
            if endpoint == "/predict" and reply.status_code == 200:
                ids.extend(a["id"] for a in reply.json()["predictions"])
        statuses[reply.status_code] = statuses.get(reply.status_code, 0) + 1
        if reply.status_code not in (200, 400, 404, 410, 413, 422) or \
                reply.headers["content-type"] != "application/json" or \
                ("error" in reply.json()) != (reply.status_code != 200):
            problems.append(f"{endpoint} {reply.status_code} {reply.text[:200]}")

    def client_loop(seed: int) -> None:
        rng = random.Random(seed)
        with httpx.Client(base_url=traced.url, timeout=30.0) as client:
            for _ in range(400):
                send(rng, client)

    threads = [threading.Thread(target=client_loop, args=(20240601 + k,)) for k in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not problems, problems[:5]
    assert sum(statuses.values()) == 2400 and statuses[200] > 300 and statuses[400] > 500
    assert traced.client.get("/health").status_code == 200
    assert traced.model_bytes() == saved(replay(traced.trace, HoeffdingTreeClassifier(grace_period=20)))


def test_predictions_flow_while_a_large_request_learns(tmp_path):
    """Predictions sent while 10,000 rows are learnt are all answered, between the learning
    request's chunks, and the model equals the replay of the calls in the order applied."""
    trace = tmp_path / "trace.jsonl"
    server = Server(tmp_path / "state", "--model", "ARFClassifier", "--param", "n_models=3", "--param", "seed=4",
                    "--trace", str(trace), "--chunk-ms", "2")
    try:
        rng = random.Random(3)
        rows, labels = rows_of(rng, 10_000)
        answers: list[int] = []
        done = threading.Event()

        def predict() -> None:
            with httpx.Client(base_url=server.url, timeout=30.0) as client:
                for i in range(2_000):
                    answers.append(client.post("/predict", json={"rows": rows[i % 50:i % 50 + 2]}).status_code)
                    if done.is_set() and i > 20:
                        return

        thread = threading.Thread(target=predict)
        thread.start()
        reply = server.post("/learn", {"rows": rows, "labels": labels})
        done.set()
        thread.join(timeout=120)
        assert reply.json() == {"learnt": 10_000, "missing": []}
        assert answers and set(answers) == {200}
        ops = [line.split('"op": "')[1][:5] for line in trace.read_text().splitlines()]
        first, last = ops.index("learn"), len(ops) - 1 - ops[::-1].index("learn")
        assert "predi" in ops[first:last]  # predictions were answered between chunks of the one request
        assert server.model_bytes() == saved(replay(trace, ARFClassifier(n_models=3, seed=4)))
    finally:
        server.stop()


def test_regressor_expired_ids_and_the_token(tmp_path):
    server = Server(tmp_path / "state", "--model", "HoeffdingTreeRegressor", "--pending-ttl", "0.3",
                    "--max-pending", "3", env={"TARVO_SERVE_TOKEN": "s3cret"})
    auth = {"Authorization": "Bearer s3cret"}
    try:
        for path, method in [("/predict", "POST"), ("/learn", "POST"), ("/model", "GET"), ("/metrics", "GET"),
                             ("/snapshot", "POST")]:
            for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "s3cret"}):
                refused = server.client.request(method, path, headers=headers, json={})
                assert refused.status_code == 401 and "bearer token" in refused.json()["error"]
        assert server.client.get("/health").status_code == 200
        ok = server.post("/learn", {"rows": [{"a": 1}, {"a": 2.5}], "labels": [1, 7.25]}, headers=auth)
        assert ok.json() == {"learnt": 2, "missing": []}
        text = server.post("/learn", {"rows": [{"a": 1}], "labels": ["7"]}, headers=auth)
        assert text.status_code == 400 and "labels[0]: a text is no target" in text.json()["error"]
        answers = server.post("/predict", {"rows": [{"a": 1}] * 5}, headers=auth).json()["predictions"]
        assert all(set(a) == {"id", "prediction"} and isinstance(a["prediction"], float) for a in answers)
        ids = [a["id"] for a in answers]
        dropped = server.post("/learn", {"ids": ids[:2], "labels": [1, 2]}, headers=auth)  # past max_pending
        assert dropped.status_code == 410 and dropped.json()["expired"] == ids[:2]
        time.sleep(0.5)
        old = server.post("/learn", {"ids": ids[2:] + ["unknown"], "labels": [1, 2, 3, 4]}, headers=auth)
        assert old.status_code == 404 and old.json()["expired"] == ids[2:]
        assert server.client.get("/model", headers=auth).json()["rows_learnt"] == 2
    finally:
        server.stop()


def test_the_app_embeds_in_an_asgi_server(tmp_path):
    """create_app(state_dir, model) under uvicorn in this process: the state is opened when the app
    starts and snapshotted when it stops."""
    import uvicorn

    from tarvo.serve import create_app
    from tarvo.serve.app import listen
    from tarvo.serve.state import read_snapshot

    app = create_app(str(tmp_path / "state"), HoeffdingTreeClassifier())
    sock = listen("127.0.0.1", 0)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]})
    thread.start()
    try:
        with httpx.Client(base_url=f"http://127.0.0.1:{sock.getsockname()[1]}", timeout=30.0) as client:
            for _ in range(600):
                if server.started:
                    break
                time.sleep(0.05)
            rows, labels = rows_of(random.Random(8), 30)
            assert client.post("/learn", json={"rows": rows, "labels": labels}).json()["learnt"] == 30
            assert client.get("/health").json() == {"status": "ok", "rows_learnt": 30}
    finally:
        server.should_exit = True
        thread.join(timeout=60)
        sock.close()
    expected = HoeffdingTreeClassifier()
    for x, y in zip(rows, labels):
        expected.learn_one(x, y)
    assert read_snapshot(str(tmp_path / "state"))["model"] == saved(expected)
