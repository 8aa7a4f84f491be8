"""Pipelines: what each part receives, shared ownership, nesting, resets and refused arguments."""

from __future__ import annotations

import math

import pytest

import _tarvo_core as core
import _tarvo_probe as probe
from conftest import assert_reset_replays_fresh, gaussian_stream


def regression_stream(n, seed):
    return [(x, float(y) + 0.1 * x["f0"]) for x, y in gaussian_stream(n, seed)]


@pytest.mark.parametrize(
    "pipeline, make, data",
    [
        (core.ClassificationPipeline, core.NaiveBayes, list(gaussian_stream(300, 1))),
        (core.ClassificationPipeline, lambda: core.ARFClassifier(n_models=3, seed=4),
         list(gaussian_stream(300, 2))),
        (core.RegressionPipeline, lambda: core.HoeffdingTreeRegressor(grace_period=50),
         regression_stream(300, 3)),
    ],
    ids=["naive-bayes", "arf", "tree-regressor"],
)
def test_empty_steps_behave_like_the_bare_learner(pipeline, make, data):
    bare, inner = make(), make()
    pipe = pipeline([], inner)
    classify = pipeline is core.ClassificationPipeline
    assert pipe.predict_one(data[0][0]) == bare.predict_one(data[0][0])
    for x, y in data:
        assert pipe.predict_one(x) == bare.predict_one(x)
        if classify:
            assert pipe.predict_proba_one(x) == bare.predict_proba_one(x)
        pipe.learn_one(x, y)
        bare.learn_one(x, y)


def test_each_step_learns_then_transforms_what_the_step_before_left():
    first = probe.RecordingTransformer(scale=2.0)
    second = probe.RecordingTransformer(needs_target=True, scale=10.0)
    learner = probe.RecordingClassifier()
    pipe = core.ClassificationPipeline([first, second], learner)
    pipe.learn_one({"a": 1.0}, 7)
    assert first.learnt == [({"a": 1.0}, None)]
    assert second.learnt == [({"a": 2.0}, 7.0)]  # the label reaches the step as a float
    assert learner.learnt == [({"a": 20.0}, 7.0)]
    assert pipe.predict_one({"a": 3.0}) == 1 and learner.predicted == [{"a": 60.0}]
    assert pipe.predict_proba_one({"a": 1.0}) == {1: 1.0}
    assert len(first.learnt) == len(second.learnt) == 1, "prediction must not learn"


def test_regression_pipeline_passes_the_target_unchanged():
    step = probe.RecordingTransformer(needs_target=True, scale=-1.0)
    learner = probe.RecordingRegressor()
    pipe = core.RegressionPipeline(steps=[step], learner=learner)
    pipe.learn_one({"a": 0.5}, -2.25)
    assert step.learnt == [({"a": 0.5}, -2.25)]
    assert learner.learnt == [({"a": -0.5}, -2.25)]
    assert pipe.predict_one({"a": 1.0}) == 1.0


@pytest.mark.parametrize("pipeline, learner", [
    (core.ClassificationPipeline, probe.RecordingClassifier),
    (core.RegressionPipeline, probe.RecordingRegressor),
])
def test_standard_scaler_step_gives_all_zero_samples_at_first(pipeline, learner):
    rec = learner()
    pipe = pipeline([core.StandardScaler()], rec)
    pipe.predict_one({"a": 5.0, "b": -3.0})
    pipe.learn_one({"a": 5.0, "b": -3.0}, 1)
    assert rec.predicted == [{"a": 0.0, "b": 0.0}]
    assert rec.learnt == [({"a": 0.0, "b": 0.0}, 1.0)]


def test_select_k_best_step_learns_the_label_as_a_float_and_passes_the_selection():
    selector, reference = core.SelectKBest(k=2), core.SelectKBest(k=2)
    rec = probe.RecordingClassifier()
    pipe = core.ClassificationPipeline([selector], rec)
    data = list(gaussian_stream(50, 5))
    for x, y in data:
        pipe.learn_one(x, y)
        reference.learn_one(x, float(y))
    assert probe.select_k_best_scores(selector) == probe.select_k_best_scores(reference)
    assert rec.learnt[-1][0] == reference.transform_one(data[-1][0])
    assert all(len(x) == 2 for x, _ in rec.learnt)


def test_the_callers_dict_is_never_modified():
    pipe = core.ClassificationPipeline(
        [core.StandardScaler(), core.SelectKBest(k=1), core.MaxAbsScaler()], core.NaiveBayes())
    for x, y in gaussian_stream(30, 6):
        before = dict(x)
        pipe.learn_one(x, y)
        pipe.predict_one(x)
        pipe.predict_proba_one(x)
        assert x == before


def test_prediction_changes_no_step():
    steps = [core.StandardScaler(), core.VarianceThreshold(), core.SelectKBest(k=2), core.MinMaxScaler()]
    pipe = core.ClassificationPipeline(steps, core.HoeffdingTreeClassifier(grace_period=20))
    for x, y in gaussian_stream(200, 7):
        pipe.learn_one(x, y)
    x = {"f0": 1.0, "f1": 3.0, "f2": -1.0, "f3": 0.5}
    views = [s.transform_one(x) for s in steps]
    assert pipe.predict_proba_one(x) == pipe.predict_proba_one(x)
    assert pipe.predict_one(x) == pipe.predict_one(x)
    assert [s.transform_one(x) for s in steps] == views


def test_learning_through_the_pipeline_is_visible_through_the_parts():
    scaler, nb = core.StandardScaler(), core.NaiveBayes()
    pipe = core.ClassificationPipeline([scaler], nb)
    reference_scaler, reference_nb = core.StandardScaler(), core.NaiveBayes()
    for x, y in gaussian_stream(40, 8):
        pipe.learn_one(x, y)
        reference_scaler.learn_one(x)
        reference_nb.learn_one(reference_scaler.transform_one(x), y)
    del pipe  # the parts live on with their Python owners
    x = {"f0": 2.0, "f1": 1.0, "f2": 4.0, "f3": 3.0}
    assert scaler.transform_one(x) == reference_scaler.transform_one(x)
    assert nb.predict_proba_one(x) == reference_nb.predict_proba_one(x)


def test_a_step_shared_by_two_pipelines_learns_from_both():
    shared = core.MinMaxScaler()
    first = core.ClassificationPipeline([shared], core.NaiveBayes())
    second = core.RegressionPipeline([shared], core.HoeffdingTreeRegressor())
    first.learn_one({"a": 2.0}, 0)
    second.learn_one({"a": 6.0}, 1.5)
    assert shared.transform_one({"a": 4.0}) == {"a": 0.5}


def test_pipeline_nested_as_the_learner_of_another():
    outer_scaler, inner_scaler = core.StandardScaler(), core.MaxAbsScaler()
    rec = probe.RecordingClassifier()
    inner = core.ClassificationPipeline([inner_scaler], rec)
    outer = core.ClassificationPipeline([outer_scaler], inner)
    ref_outer, ref_inner = core.StandardScaler(), core.MaxAbsScaler()
    expected = []
    for x, y in gaussian_stream(20, 9):
        outer.learn_one(x, y)
        ref_outer.learn_one(x)
        mid = ref_outer.transform_one(x)
        ref_inner.learn_one(mid)
        expected.append((ref_inner.transform_one(mid), float(y)))
    assert rec.learnt == expected
    outer.reset()
    assert rec.resets == 1 and outer_scaler.transform_one({"f0": 1.0}) == {"f0": 0.0}


@pytest.mark.parametrize("pipeline, learner", [
    (core.ClassificationPipeline, probe.RecordingClassifier),
    (core.RegressionPipeline, probe.RecordingRegressor),
])
def test_nesting_is_bounded(pipeline, learner):
    pipe = learner()
    for _ in range(100):
        pipe = pipeline([], pipe)
    with pytest.raises(ValueError, match="at most 100 deep"):
        pipeline([], pipe)
    pipe.learn_one({"a": 1.0}, 1)
    assert pipe.predict_one({"a": 1.0}) == 1


def test_reset_resets_every_part_in_order_and_keeps_parameters():
    steps = [probe.RecordingTransformer(), core.StandardScaler(with_std=False), core.SelectKBest(k=1)]
    nb = core.NaiveBayes()
    pipe = core.ClassificationPipeline(steps, nb)
    for x, y in gaussian_stream(30, 10):
        pipe.learn_one(x, y)
    pipe.reset()
    assert steps[0].resets == 1
    assert steps[1].with_std is False and steps[2].k == 1
    x = {"f0": 1.5, "f1": -2.0}
    assert steps[1].transform_one(x) == x and steps[2].transform_one(x) == x
    assert nb.predict_one(x) == -1 and pipe.predict_proba_one(x) == {}


@pytest.mark.parametrize("make, data", [
    (lambda: core.ClassificationPipeline([core.StandardScaler(), core.SelectKBest(k=2)], core.NaiveBayes()),
     list(gaussian_stream(150, 11))),
    (lambda: core.RegressionPipeline([core.MinMaxScaler(), core.VarianceThreshold(0.01)],
                                     core.HoeffdingTreeRegressor(grace_period=30)),
     regression_stream(150, 12)),
])
def test_reset_pipeline_replays_a_fresh_one(make, data):
    answer = "predict_proba_one" if hasattr(make(), "predict_proba_one") else "predict_one"
    assert_reset_replays_fresh(make, data, answer)


def test_set_feature_order_reaches_every_step_unchanged():
    first = probe.RecordingTransformer()
    selector = core.SelectKBest(k=1)
    pipe = core.RegressionPipeline([first, selector], probe.RecordingRegressor())
    pipe.set_feature_order(["b", "a"])
    assert first.orders == [["b", "a"]]
    for v in (1.0, 2.0, 3.0):
        pipe.learn_one({"a": v, "b": v}, v)
    assert selector.transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


def test_errors_propagate_and_earlier_steps_keep_what_they_learnt():
    scaler = core.MinMaxScaler()
    pipe = core.ClassificationPipeline([scaler], core.ARFClassifier(lambda_value=math.nan))
    with pytest.raises(ValueError):
        pipe.learn_one({"a": 3.0}, 1)
    scaler.learn_one({"a": 5.0})
    assert scaler.transform_one({"a": 4.0}) == {"a": 0.5}


@pytest.mark.parametrize("pipeline, learner", [
    (core.ClassificationPipeline, core.NaiveBayes),
    (core.RegressionPipeline, core.HoeffdingTreeRegressor),
])
def test_none_is_refused_naming_the_argument(pipeline, learner):
    with pytest.raises(TypeError, match=r"learner is None"):
        pipeline([core.StandardScaler()], None)
    with pytest.raises(TypeError, match=r"steps\[1\] is None"):
        pipeline([core.StandardScaler(), None], learner())


@pytest.mark.parametrize("args, message", [
    (([], core.HoeffdingTreeRegressor()), "learner is a HoeffdingTreeRegressor, not an IClassifier"),
    (([core.NaiveBayes()], core.NaiveBayes()), r"steps\[0\] is a NaiveBayes, not an ITransformer"),
    ((core.StandardScaler(), core.NaiveBayes()), "incompatible constructor arguments"),
    (("ab", core.NaiveBayes()), "steps must be a list"),
    ((5, core.NaiveBayes()), "incompatible constructor arguments"),
])
def test_wrong_kinds_are_refused(args, message):
    with pytest.raises(TypeError, match=message):
        core.ClassificationPipeline(*args)
