// The module _tarvo_batch: rows of arrays through the objects of _tarvo_core,
// in native code and without the GIL. Each function takes the rows
// [start, stop) of the named columns; tarvo.batch calls it in chunks short
// enough to notice Ctrl-C between them.
//
// Every row makes the same calls, in the same order, as the per-sample
// methods would, on a FeatureMap built as the binding builds one from a dict,
// so the results and the model's state afterwards are bit-identical to the
// per-sample loop. While a call runs, its objects are listed as busy: any
// method of theirs called from another thread raises RuntimeError.

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "../class_binders.hpp"
#include "../object_guard.hpp"
#include "columns.hpp"
#include "released_gil.hpp"
#include "anomaly/half_space_trees.hpp"
#include "core/chunk_learner.hpp"
#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "drift/adwin.hpp"
#include "metrics/accuracy.hpp"
#include "metrics/error_metrics.hpp"
#include "metrics/macro.hpp"
#include "metrics/r2.hpp"
#include "metrics/window_metric.hpp"
#include "metrics/window_regression_metric.hpp"
#include "pipeline/classification_pipeline.hpp"
#include "pipeline/regression_pipeline.hpp"
#include "thread_pool.hpp"

namespace tarvo::batch {

namespace {

using bindings::BusyClaim;
using bindings::held_object;

// The native object of a model, with every object it shares with Python
// (a pipeline's steps and learner, at any depth) for the busy claim.
template <class Interface>
std::shared_ptr<Interface> claimable(const py::handle& model, std::vector<const void*>& shared) {
    if (!py::isinstance<Interface>(model)) {
        throw py::type_error("batch: model (of type " + bindings::type_name(model) +
                             ") is not a learner, transformer or pipeline of this kind");
    }
    const void* object = bindings::checked_object(model);  // constructed, and not busy elsewhere
    auto native = model.cast<std::shared_ptr<Interface>>();
    shared.push_back(object);
    const auto add = [&](const void* part, const bindings::PartPath&, const std::type_info&) {
        shared.push_back(part);
        return false;
    };
    if constexpr (std::is_same_v<Interface, IClassifier>) {
        bindings::visit_pipeline_parts(native.get(), nullptr, add);
    } else if constexpr (std::is_same_v<Interface, IRegressor>) {
        bindings::visit_pipeline_parts(nullptr, native.get(), add);
    }
    return native;
}

bool is_classifier(const py::handle& model) { return py::isinstance<IClassifier>(model); }

// An anomaly detector of _tarvo_extra (false while that module is not loaded:
// no object of its classes exists then).
bool is_anomaly_detector(const py::handle& model) { return py::isinstance<HalfSpaceTrees>(model); }

// One native metric of the evaluation, updated as the Python loop updates it:
// update(y_true, y_pred), except WindowMetric's update(predicted, actual).
template <class Value>
struct Metric {
    void (*update)(void* object, Value y, Value y_pred);
    // (get(0), get(1)) for a windowed metric, (get(), get()) for another.
    std::pair<double, double> (*read)(const void* object);
    void* object;
};

template <class T>
std::pair<double, double> read_metric(const void* object) {
    const T& m = *static_cast<const T*>(object);
    if constexpr (std::is_same_v<T, WindowMetric> || std::is_same_v<T, WindowRegressionMetric>) {
        return {m.get(0), m.get(1)};
    } else {
        return {m.get(), m.get()};
    }
}

template <class T, class Value>
void update_metric(void* object, Value y, Value y_pred) {
    if constexpr (std::is_same_v<T, WindowMetric>) {
        static_cast<T*>(object)->update(y_pred, y);
    } else {
        static_cast<T*>(object)->update(y, y_pred);
    }
}

template <class Value, class... T>
std::vector<Metric<Value>> native_metrics(const py::list& given, std::vector<const void*>& shared,
                                          const char* task) {
    std::vector<Metric<Value>> out;
    std::size_t i = 0;
    for (const py::handle m : given) {
        const std::string what = "batch: metrics[" + std::to_string(i++) + "]";
        const bool taken = ([&] {
            if (!py::isinstance<T>(m)) {
                return false;
            }
            const void* object = bindings::checked_object(m);
            if (std::find(shared.begin(), shared.end(), object) != shared.end()) {
                throw py::value_error(what + " (of type " + bindings::type_name(m) +
                                      ") is given twice; each metric is updated once a row");
            }
            out.push_back(Metric<Value>{&update_metric<T, Value>, &read_metric<T>, &m.cast<T&>()});
            shared.push_back(object);
            return true;
        }() || ...);
        if (!taken) {
            throw py::type_error(what + " (of type " + bindings::type_name(m) +
                                 ") is not a native metric of " + task);
        }
    }
    return out;
}

// A model, with the metrics and detector of an evaluation, claimed for one
// batch: from its construction to close(), every object it holds refuses
// calls from other threads, between its chunks of rows too. Its own methods
// run one at a time (RuntimeError otherwise).
class Session {
public:
    Session(py::object model, const py::list& metrics, py::object detector);

    std::shared_ptr<IClassifier> classifier;
    std::shared_ptr<IRegressor> regressor;
    std::shared_ptr<ITransformer> transformer;
    HalfSpaceTrees* anomaly = nullptr;  // kept alive by model_
    std::vector<Metric<int>> label_metrics;
    std::vector<Metric<double>> value_metrics;
    ADWIN* detector = nullptr;
    // The rows completed so far: one past the last row learnt (or answered).
    py::ssize_t done = 0;

    // Marks the session running for the life of the returned guard.
    [[nodiscard]] auto run() {
        if (!claim_) {
            throw std::runtime_error("batch: this batch is closed");
        }
        if (running_) {
            throw std::runtime_error("batch: this batch is already running in another thread");
        }
        running_ = true;
        auto done = [this](const void*) { running_ = false; };
        return std::unique_ptr<const void, decltype(done)>(this, done);
    }
    void close() { claim_.reset(); }

    // The metrics' current values, in the order given.
    [[nodiscard]] std::vector<std::pair<double, double>> read() const {
        std::vector<std::pair<double, double>> values;
        for (const auto& m : label_metrics) {
            values.push_back(m.read(m.object));
        }
        for (const auto& m : value_metrics) {
            values.push_back(m.read(m.object));
        }
        return values;
    }

private:
    py::object model_;  // keeps the Python objects alive while the GIL is released
    py::list metric_objects_;
    py::object detector_object_;
    std::unique_ptr<BusyClaim> claim_;
    bool running_ = false;
};


Session::Session(py::object model, const py::list& metrics, py::object detector_given)
    : model_(std::move(model)), metric_objects_(metrics), detector_object_(std::move(detector_given)) {
    std::vector<const void*> shared;
    if (py::isinstance<ITransformer>(model_)) {
        transformer = claimable<ITransformer>(model_, shared);
    } else if (is_anomaly_detector(model_)) {
        // The metrics (and detector) of its evaluation are updated in Python between the
        // chunks of scores: they are only claimed here, those written in Python skipped.
        shared.push_back(bindings::checked_object(model_));
        anomaly = &model_.cast<HalfSpaceTrees&>();
        auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
        for (const py::handle m : metrics) {
            if (PyObject_TypeCheck(m.ptr(), base) != 0) {
                const void* object = bindings::checked_object(m);
                if (std::find(shared.begin(), shared.end(), object) != shared.end()) {
                    throw py::value_error("batch: an object of the evaluation is given twice");
                }
                shared.push_back(object);
            }
        }
    } else if (is_classifier(model_)) {
        classifier = claimable<IClassifier>(model_, shared);
        label_metrics = native_metrics<int, Accuracy, MacroPrecision, MacroRecall, MacroF1, WindowMetric>(
            metrics, shared, "classification");
    } else if (py::isinstance<IRegressor>(model_)) {
        regressor = claimable<IRegressor>(model_, shared);
        value_metrics =
            native_metrics<double, MAE, RMSE, R2, WindowRegressionMetric>(metrics, shared, "regression");
    } else {
        throw py::type_error("batch: model (of type " + bindings::type_name(model_) +
                             ") is not a learner, transformer or pipeline");
    }
    if (!detector_object_.is_none()) {
        if (!py::isinstance<ADWIN>(detector_object_)) {
            throw py::type_error("batch: detector (of type " + bindings::type_name(detector_object_) +
                                 ") is not an ADWIN");
        }
        shared.push_back(bindings::checked_object(detector_object_));
        this->detector = &detector_object_.cast<ADWIN&>();
    }
    claim_ = std::make_unique<BusyClaim>(std::move(shared));
}


// The model's objects (itself and its parts) for a claim; TypeError when it is
// no learner, transformer or pipeline.
std::vector<const void*> model_objects(const py::handle& model) {
    std::vector<const void*> shared;
    if (py::isinstance<ITransformer>(model)) {
        claimable<ITransformer>(model, shared);
    } else if (is_anomaly_detector(model)) {
        shared.push_back(bindings::checked_object(model));
    } else if (is_classifier(model)) {
        claimable<IClassifier>(model, shared);
    } else if (py::isinstance<IRegressor>(model)) {
        claimable<IRegressor>(model, shared);
    } else {
        throw py::type_error("batch: model (of type " + bindings::type_name(model) +
                             ") is not a learner, transformer or pipeline");
    }
    return shared;
}

// A model with its parts, and the other objects of this library among
// `objects` (metrics, a detector; objects defined in Python are skipped),
// claimed with no native loop: an evaluation written in Python runs in the
// claiming thread, which the claim admits, while every other thread is
// refused exactly as during a native batch.
class Claim {
public:
    Claim(py::object model, const py::list& objects) : model_(std::move(model)), objects_(objects) {
        std::vector<const void*> shared = model_objects(model_);
        auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
        for (const py::handle object : objects_) {
            if (PyObject_TypeCheck(object.ptr(), base) != 0) {
                shared.push_back(bindings::checked_object(object));
            }
        }
        claim_ = std::make_unique<BusyClaim>(std::move(shared));
    }
    void close() { claim_.reset(); }

private:
    py::object model_;
    py::list objects_;
    std::unique_ptr<BusyClaim> claim_;
};

// The most rows a forest learns in one chunk of its members' work: enough to
// keep a thread busy for milliseconds, few enough to bound what the chunk
// holds (each row's features and its members' answers).
constexpr py::ssize_t kChunkRows = 1024;

// A runner over `threads` threads of the shared pool when the learner spreads
// its work over threads (the forests) and more than one is asked for; none
// otherwise, and the rows go through learn_one one by one. Called with the GIL.
template <class Target, class Interface>
std::optional<PoolRunner> member_threads(Interface& learner, py::ssize_t threads) {
    if (threads < 1) {
        throw py::value_error("batch: threads must be at least 1");
    }
    if (threads == 1 || dynamic_cast<ChunkLearner<Target>*>(&learner) == nullptr) {
        return std::nullopt;
    }
    return PoolRunner(ThreadPool::shared(), static_cast<std::size_t>(threads));
}

// Rows [start, stop) learnt by a forest in chunks, its members' work spread
// over `runner`; after each chunk, scored(first row, count, answers) for the
// rows learnt (answers given only when `answer`), then `done` moves past
// them, also when the chunk ends early on an exception.
template <class Target, class Interface, class Scored>
void learn_chunked(Interface& learner, TaskRunner& runner, const Columns& rows, const Target* y,
                   py::ssize_t start, py::ssize_t stop, bool answer, py::ssize_t& done,
                   Scored&& scored) {
    auto& chunked = dynamic_cast<ChunkLearner<Target>&>(learner);
    std::vector<Target> answers;
    answers.reserve(static_cast<std::size_t>(std::min(kChunkRows, stop - start)));
    for (py::ssize_t a = start; a < stop;) {
        const py::ssize_t b = a + std::min(kChunkRows, stop - a);
        const auto n = static_cast<std::size_t>(b - a);
        answers.resize(n);
        std::size_t learnt = 0;
        try {
            chunked.learn_chunk(ColumnSamples(rows, a, n), std::span<const Target>(y + a, n),
                                answer ? answers.data() : nullptr, runner, learnt);
        } catch (...) {
            scored(a, learnt, answers);
            done = a + static_cast<py::ssize_t>(learnt);
            throw;
        }
        scored(a, learnt, answers);
        done = b;
        a = b;
    }
}

// A learner's rows: one by one, or in chunks when a forest's members go on threads.
template <class Target, class Interface>
void learn_rows(Interface& learner, const Columns& rows, const py::object& target,
                py::ssize_t start, py::ssize_t stop, py::ssize_t threads, py::ssize_t& done,
                const char* missing) {
    const Target* y = array_data<Target>(target, stop, false, "y");
    if (y == nullptr) {
        throw py::type_error(missing);
    }
    auto runner = member_threads<Target>(learner, threads);
    const ReleasedGil nogil;
    if (runner) {
        learn_chunked(learner, *runner, rows, y, start, stop, false, done,
                      [](py::ssize_t, std::size_t, const std::vector<Target>&) {});
        return;
    }
    for (py::ssize_t r = start; r < stop; ++r) {
        learner.learn_one(rows.row(r), y[r]);
        done = r + 1;
    }
}

void learn(Session& s, const std::vector<std::string>& names, const py::list& columns,
           const py::object& target, py::ssize_t start, py::ssize_t stop, py::ssize_t threads) {
    const Columns rows(names, columns, start, stop);
    const auto running = s.run();
    if (s.anomaly) {
        if (!target.is_none()) {
            throw py::type_error("batch: an anomaly detector learns from the features alone");
        }
        const ReleasedGil nogil;
        for (py::ssize_t r = start; r < stop; ++r) {
            s.anomaly->learn_one(rows.row(r));
            s.done = r + 1;
        }
    } else if (s.transformer) {
        const double* y = array_data<double>(target, stop, false, "y");
        const ReleasedGil nogil;
        for (py::ssize_t r = start; r < stop; ++r) {
            const FeatureMap& x = rows.row(r);
            if (y != nullptr) {
                s.transformer->learn_one(x, y[r]);
            } else {
                s.transformer->learn_one(x);
            }
            s.done = r + 1;
        }
    } else if (s.classifier) {
        learn_rows<int>(*s.classifier, rows, target, start, stop, threads, s.done,
                        "batch: a classifier needs its labels");
    } else {
        learn_rows<double>(*s.regressor, rows, target, start, stop, threads, s.done,
                           "batch: a regressor needs its targets");
    }
}

void predict(Session& s, const std::vector<std::string>& names, const py::list& columns,
             const py::object& out, py::ssize_t start, py::ssize_t stop) {
    const Columns rows(names, columns, start, stop);
    const auto running = s.run();
    if (s.classifier) {
        std::int64_t* o = array_data<std::int64_t>(out, stop, true, "out");
        const ReleasedGil nogil;
        for (py::ssize_t r = start; r < stop; ++r) {
            o[r] = s.classifier->predict_one(rows.row(r));
            s.done = r + 1;
        }
    } else if (s.regressor) {
        double* o = array_data<double>(out, stop, true, "out");
        const ReleasedGil nogil;
        for (py::ssize_t r = start; r < stop; ++r) {
            o[r] = s.regressor->predict_one(rows.row(r));
            s.done = r + 1;
        }
    } else if (s.anomaly) {
        throw py::type_error("batch: an anomaly detector scores rows (score) and predicts nothing");
    } else {
        throw py::type_error("batch: a transformer predicts nothing");
    }
}

// Each row's anomaly score, then the row learnt: score_one then learn_one.
void score(Session& s, const std::vector<std::string>& names, const py::list& columns, const py::object& out,
           py::ssize_t start, py::ssize_t stop) {
    const Columns rows(names, columns, start, stop);
    const auto running = s.run();
    if (!s.anomaly) {
        throw py::type_error("batch: only an anomaly detector scores rows");
    }
    double* o = array_data<double>(out, stop, true, "out");
    if (o == nullptr) {
        throw py::type_error("batch: score needs an output array");
    }
    const ReleasedGil nogil;
    for (py::ssize_t r = start; r < stop; ++r) {
        o[r] = s.anomaly->score_then_learn(rows.row(r));
        s.done = r + 1;
    }
}

// One row per answer and one column per key (sorted), `missing` where a row
// lacks a key; (keys, values).
template <class Key, class Map>
py::tuple as_table(const std::vector<Map>& answers, double missing) {
    std::set<Key> keys;
    for (const auto& answer : answers) {
        for (const auto& entry : answer) {
            keys.insert(entry.first);
        }
    }
    const std::vector<Key> ordered(keys.begin(), keys.end());
    py::array_t<double> table({static_cast<py::ssize_t>(answers.size()),
                               static_cast<py::ssize_t>(ordered.size())});
    auto view = table.mutable_unchecked<2>();
    for (std::size_t i = 0; i < answers.size(); ++i) {
        for (std::size_t j = 0; j < ordered.size(); ++j) {
            const auto it = answers[i].find(ordered[j]);
            view(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(j)) =
                it == answers[i].end() ? missing : it->second;
        }
    }
    return py::make_tuple(ordered, table);
}

py::tuple predict_proba(Session& s, const std::vector<std::string>& names,
                        const py::list& columns, py::ssize_t start, py::ssize_t stop) {
    const Columns rows(names, columns, start, stop);
    const auto running = s.run();
    if (!s.classifier) {
        throw py::type_error("batch: only a classifier gives probabilities");
    }
    std::vector<ProbabilityMap> answers;
    {
        const ReleasedGil nogil;
        answers.reserve(static_cast<std::size_t>(stop - start));
        for (py::ssize_t r = start; r < stop; ++r) {
            answers.push_back(s.classifier->predict_proba_one(rows.row(r)));
            s.done = r + 1;
        }
    }
    return as_table<int>(answers, 0.0);
}

py::tuple transform(Session& s, const std::vector<std::string>& names, const py::list& columns,
                    py::ssize_t start, py::ssize_t stop) {
    const Columns rows(names, columns, start, stop);
    const auto running = s.run();
    if (!s.transformer) {
        throw py::type_error("batch: only a transformer transforms");
    }
    std::vector<FeatureMap> answers;
    {
        const ReleasedGil nogil;
        answers.reserve(static_cast<std::size_t>(stop - start));
        for (py::ssize_t r = start; r < stop; ++r) {
            answers.push_back(s.transformer->transform_one(rows.row(r)));
            s.done = r + 1;
        }
    }
    return as_table<std::string>(answers, std::nan(""));
}

// Test-then-train over rows [start, stop), as the Python evaluation loop does
// it. `first` marks the stream's first row: a classifier that answers it with
// no probabilities only learns it. With a runner, a forest learns the other
// rows in chunks with its members on the runner's threads, and each row is
// scored after its chunk, in order. Returns (the 1-based sample numbers after
// which the detector reported a drift, the first sample scored).
template <class Interface, class Label>
py::tuple evaluate(Interface& learner, const std::vector<Metric<Label>>& metrics, ADWIN* detector,
                   const Columns& rows, const Label* y, py::ssize_t start, py::ssize_t stop,
                   bool first, std::conditional_t<std::is_same_v<Label, int>, std::int64_t, double>* o,
                   TaskRunner* runner, py::ssize_t& done) {
    std::vector<std::int64_t> drifts;
    int first_scored = 1;
    const auto score = [&](py::ssize_t r, Label y_pred) {
        const Label label = y[r];
        for (const Metric<Label>& m : metrics) {
            m.update(m.object, label, y_pred);
        }
        if (o != nullptr) {
            o[r] = y_pred;
        }
        if (detector != nullptr) {
            if constexpr (std::is_same_v<Interface, IClassifier>) {
                detector->update(y_pred == label ? 0.0 : 1.0);
            } else {
                detector->update(std::fabs(label - y_pred));
            }
            if (detector->drift_detected()) {
                drifts.push_back(static_cast<std::int64_t>(r) + 1);
            }
        }
    };
    {
        const ReleasedGil nogil;
        py::ssize_t r = start;
        if constexpr (std::is_same_v<Interface, IClassifier>) {
            if (first && r < stop && learner.predict_proba_one(rows.row(r)).empty()) {
                const FeatureMap& x = rows.row(r);
                if (o != nullptr) {
                    o[r] = learner.predict_one(x);
                }
                learner.learn_one(x, y[r]);
                first_scored = 2;
                ++r;
                done = r;
            }
        }
        if (runner != nullptr) {
            learn_chunked(learner, *runner, rows, y, r, stop, true, done,
                          [&](py::ssize_t a, std::size_t count, const std::vector<Label>& answers) {
                              for (std::size_t k = 0; k < count; ++k) {
                                  score(a + static_cast<py::ssize_t>(k), answers[k]);
                              }
                          });
        } else {
            for (; r < stop; ++r) {
                const FeatureMap& x = rows.row(r);
                const Label y_pred = learner.predict_one(x);
                learner.learn_one(x, y[r]);
                score(r, y_pred);
                done = r + 1;
            }
        }
    }
    return py::make_tuple(drifts, first_scored);
}

py::tuple prequential(Session& s, const std::vector<std::string>& names, const py::list& columns,
                      const py::object& target, py::ssize_t start, py::ssize_t stop, bool first,
                      const py::object& out, py::ssize_t threads) {
    const Columns rows(names, columns, start, stop);
    const auto running = s.run();
    if (s.classifier) {
        const int* y = array_data<int>(target, stop, false, "y");
        auto* o = array_data<std::int64_t>(out, stop, true, "predictions");
        if (y == nullptr) {
            throw py::type_error("batch: the evaluation needs the labels");
        }
        auto runner = member_threads<int>(*s.classifier, threads);
        return evaluate<IClassifier, int>(*s.classifier, s.label_metrics, s.detector, rows, y, start,
                                          stop, first, o, runner ? &*runner : nullptr, s.done);
    }
    if (s.regressor) {
        const double* y = array_data<double>(target, stop, false, "y");
        auto* o = array_data<double>(out, stop, true, "predictions");
        if (y == nullptr) {
            throw py::type_error("batch: the evaluation needs the targets");
        }
        auto runner = member_threads<double>(*s.regressor, threads);
        return evaluate<IRegressor, double>(*s.regressor, s.value_metrics, s.detector, rows, y,
                                            start, stop, first, o, runner ? &*runner : nullptr,
                                            s.done);
    }
    throw py::type_error(s.anomaly ? "batch: an anomaly detector is evaluated by scoring its rows (score)"
                                   : "batch: a transformer is not evaluated");
}

}  // namespace

}  // namespace tarvo::batch

PYBIND11_MODULE(_tarvo_batch, m, pybind11::multiple_interpreters::not_supported()) {
    namespace py = pybind11;
    using namespace tarvo::batch;
    py::module_::import("_tarvo_core");  // the classes whose objects a session takes
    m.doc() =
        "Rows of arrays through the objects of _tarvo_core (and the anomaly detectors of "
        "_tarvo_extra) in native code, without the GIL (used by tarvo.batch). A Session claims a model (with an evaluation's metrics and "
        "detector) until close(); its methods take the rows [start, stop) of the named columns. "
        "A Claim claims a model and other objects for a loop written in Python, which runs in "
        "the claiming thread.";
    tarvo::bindings::busy_table();  // made now, so that a child process after fork finds it made
    tarvo::bindings::Bound<Claim>(m, "Claim")
        .def(py::init<py::object, const py::list&>(), py::arg("model"), py::arg("objects") = py::list())
        .def("close", &Claim::close, "Release the claimed objects.")
        .def("__enter__", [](Claim& c) -> Claim& { return c; }, py::return_value_policy::reference)
        .def("__exit__", [](Claim& c, const py::args&) { c.close(); });
    tarvo::bindings::Bound<Session>(m, "Session")
        .def(py::init<py::object, const py::list&, py::object>(), py::arg("model"),
             py::arg("metrics") = py::list(), py::arg("detector") = py::none())
        .def("close", &Session::close, "Release the claimed objects.")
        .def_readonly("done", &Session::done, "One past the last row completed.")
        .def("read", &Session::read,
             "Each metric's (get(0), get(1)) when windowed, else (get(), get()).")
        .def("__enter__", [](Session& s) -> Session& { return s; }, py::return_value_policy::reference)
        .def("__exit__", [](Session& s, const py::args&) { s.close(); })
        .def("learn", &learn, py::arg("names"), py::arg("columns"), py::arg("target"),
             py::arg("start"), py::arg("stop"), py::arg("threads") = 1,
             "Learn the rows in order (target: int32 labels, float64 targets, or None for a transformer "
             "or an anomaly detector); a forest "
             "spreads its members' work over `threads` threads, to the same result.")
        .def("predict", &predict, py::arg("names"), py::arg("columns"), py::arg("out"),
             py::arg("start"), py::arg("stop"),
             "Write each row's prediction into out (int64 labels or float64 values).")
        .def("score", &score, py::arg("names"), py::arg("columns"), py::arg("out"), py::arg("start"),
             py::arg("stop"), "Write each row's anomaly score into out (float64), then learn the row.")
        .def("predict_proba", &predict_proba, py::arg("names"), py::arg("columns"),
             py::arg("start"), py::arg("stop"),
             "(sorted labels, probabilities with one column per label, 0.0 where absent).")
        .def("transform", &transform, py::arg("names"), py::arg("columns"), py::arg("start"),
             py::arg("stop"), "(sorted output names, values with one column per name, NaN where absent).")
        .def("prequential", &prequential, py::arg("names"), py::arg("columns"), py::arg("target"),
             py::arg("start"), py::arg("stop"), py::arg("first"), py::arg("out"),
             py::arg("threads") = 1,
             "Test-then-train over the rows; (drifts, first sample scored). A forest spreads its "
             "members' work over `threads` threads, to the same result.");
    // Before the interpreter finalizes, threads on their way back from native
    // work are let in and the workers stop; a batch still running in a daemon
    // thread finishes its tasks on that thread and then waits for the end.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        ReleasedGil::close_at_exit();
        ThreadPool::stop_shared();
    }));
    pthread_atfork(&ThreadPool::pause_shared, nullptr, [] {
        ThreadPool::forget_in_child();
        ReleasedGil::reset_in_child();
        tarvo::bindings::mark_busy_forked();
    });
}
