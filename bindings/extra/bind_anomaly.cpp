#include <string>

#include "../class_binders.hpp"
#include "anomaly/half_space_trees.hpp"
#include "anomaly/roc_auc.hpp"
#include "extra.hpp"

namespace tarvo::bindings {

void bind_half_space_trees(py::module_& m) {
    using T = HalfSpaceTrees;
    Bound<T> cls(m, "HalfSpaceTrees",
                 "Half-space trees (Tan, Ting and Liu, 2011): a streaming anomaly detector scoring a sample "
                 "by the mass, over the last complete window, of the regions it falls in.\n\n"
                 "score_one(x) gives a score in [0, 1], higher for more anomalous samples; learn_one(x) "
                 "learns. Score before learning, as in prequential evaluation.\n\n"
                 "Features are scaled to [0, 1] by their ranges: `limits` (name -> (low, high)), or the "
                 "least and greatest finite value of each feature over the first window_size samples (a "
                 "feature constant there gets [v, v + 1]); `ranges` shows those in use. Only those "
                 "features count; an absent one counts as the middle of its range.\n\n"
                 "Each tree has, for each feature, a work range [s - 2 m, s + 2 m] with s uniform in [0, 1) "
                 "and m = max(s, 1 - s); each inner node splits the current range of a feature drawn "
                 "uniformly at its midpoint (a value below it goes left, NaN right), `height` levels deep. "
                 "The draws come from a counter-based generator keyed by the seed, the tree and the node's "
                 "position, so the seed alone fixes the trees; nodes are made when a sample first reaches "
                 "them and dropped when they hold no mass.\n\n"
                 "Each node counts the samples of the latest window that reach it (l); the reference "
                 "profile r is the previous window's counts. Every window_size samples learnt the profiles "
                 "swap: r <- l, l <- 0. A tree scores a sample r 2^k at the first node on its path, at depth "
                 "k, whose r is at most 0.1 window_size, or at the leaf (the paper's mass score, high for "
                 "normal samples). score_one returns 1 - ln(1 + S) / ln(1 + window_size 2^height), S the "
                 "mean of the trees' scores: the paper's order reversed and spread over [0, 1]; 1 in regions "
                 "the reference window never reached. It is 0.0 until the first window is complete.");
    def_persistence(cls, "HalfSpaceTrees");
    py::delattr(cls, "__repr__");  // the limits are shown too
    cls.def(py::init<int, int, int, int, std::optional<T::Limits>>(), py::arg("n_trees") = 25,
            py::arg("height") = 15, py::arg("window_size") = 250, py::arg("seed") = 0,
            py::arg("limits") = py::none())
        .def(
            "learn_one", [](T& self, const FeatureMap& x) { self.learn_one(x); }, "Learn from one sample.")
        .def(
            "score_one", [](const T& self, const FeatureMap& x) { return self.score_one(x); },
            "The anomaly score of one sample in [0, 1], higher for more anomalous (0.0 during the first "
            "window).")
        .def("reset", &T::reset, "Forget every sample (learnt ranges too); parameters are kept.")
        .def("__repr__",
             [](T& self) {
                 std::string text = describe(self, "HalfSpaceTrees", {});
                 text.pop_back();
                 text += ", limits=";
                 text += self.limits() ? py::repr(py::cast(*self.limits())).cast<std::string>() : "None";
                 return text + ")";
             })
        .def_property_readonly("n_trees", &T::n_trees)
        .def_property_readonly("height", &T::height)
        .def_property_readonly("window_size", &T::window_size)
        .def_property_readonly("seed", &T::seed)
        .def_property_readonly("limits", &T::limits)
        .def_property_readonly("ranges", &T::ranges,
                               "The feature ranges in use, name -> (low, high): the limits given, or those "
                               "learnt from the first window (empty until it ends).")
        .def_property_readonly("window_count", &T::window_count,
                               "Samples learnt since the profiles last swapped (or in the first window).")
        .def_property_readonly("node_count", &T::node_count, "Nodes held over all trees.");
}

void bind_roc_auc(py::module_& m) {
    Bound<ROCAUC> cls(m, "ROCAUC",
                      "Area under the ROC curve of anomaly scores against labels, exact.\n\n"
                      "The chance that a positive (a non-zero label: an anomaly) scores higher than a "
                      "negative, ties counting one half: the Mann-Whitney U statistic over the number of "
                      "(positive, negative) pairs, kept exactly as each update arrives (logarithmic cost). "
                      "Over every update since the last reset (window_size 0) or over the last window_size "
                      "updates. get() is 0.5 while the updates counted hold no positive or no negative. "
                      "A NaN score raises ValueError; infinite scores rank as usual.");
    def_persistence(cls, "ROCAUC");
    cls.def(py::init<int>(), py::arg("window_size") = 0)
        .def(
            "update", [](ROCAUC& self, int y_true, double y_score) { self.update(y_true, y_score); },
            py::arg("y_true"), py::arg("y_score"), "Add one (label, score) pair; a non-zero label is positive.")
        .def("get", &ROCAUC::get, "The current area under the ROC curve.")
        .def("reset", &ROCAUC::reset, "Forget every update.")
        .def_property_readonly("window_size", &ROCAUC::window_size)
        .def_property_readonly("size", &ROCAUC::size, "The number of updates counted.");
}

}  // namespace tarvo::bindings
