#include "bindings.hpp"
#include "class_binders.hpp"
#include "neighbors/knn_classifier.hpp"
#include "neighbors/knn_regressor.hpp"

namespace tarvo::bindings {

namespace {

constexpr const char* kNeighborsDoc =
    "Neighbours used (at least 0); assigning a negative value raises ValueError and keeps "
    "the current one.";

// n_neighbors is checked on assignment; p is stored as given.
template <class Cls>
void add_neighbor_settings(Cls& cls) {
    using T = typename Cls::type;
    cls.def_property(
           "n_neighbors", [](const T& self) { return self.n_neighbors(); },
           [](T& self, int k) { self.set_n_neighbors(k); }, kNeighborsDoc)
        .def_readwrite("p", &T::p, "Order of the Minkowski distance.");
}

}  // namespace

void bind_knn_classifier(py::module_& m) {
    auto cls = bind_classifier<KNNClassifier>(
        m, "KNNClassifier",
        "k-nearest-neighbour classifier over a sliding window of recent samples.\n\n"
        "Keeps the last window_size learnt samples as dense rows over every feature name "
        "learnt so far (a name missing from a sample counts as 0) and predicts the majority "
        "label of the n_neighbors nearest by the Minkowski distance of order p; ties in "
        "distance go to the smaller label, vote ties to the label of the nearest neighbour "
        "among them. predict_proba_one gives each neighbour 1/k and lists only the labels "
        "among the neighbours. window_size must be at least 1 and n_neighbors at least 0 "
        "(ValueError otherwise). Memory: every stored row holds one value per distinct "
        "feature name ever learnt, so a stream whose names never repeat costs window_size x "
        "distinct names doubles. Untrained, or with n_neighbors 0, predict_one answers -1 "
        "and predict_proba_one {}.\n\n"
        "Distances are raw, so a feature on a large scale outweighs the others: put a scaler "
        "in front, as in ClassificationPipeline([MinMaxScaler()], KNNClassifier()) (--scale "
        "minmax on the command line).",
        py::init<int, int, int>(), py::arg("n_neighbors") = 5, py::arg("window_size") = 1000,
        py::arg("p") = 2);
    add_neighbor_settings(cls);
}

void bind_knn_regressor(py::module_& m) {
    auto cls = bind_regressor<KNNRegressor>(
        m, "KNNRegressor",
        "k-nearest-neighbour regressor over a sliding window of recent samples.\n\n"
        "Keeps the last window_size learnt samples as dense rows over every feature name "
        "learnt so far (a name missing from a sample counts as 0) and predicts the "
        "inverse-distance weighted mean target of the n_neighbors nearest by the Minkowski "
        "distance of order p; a neighbour within 1e-10 of the query weighs 1e10, and ties in "
        "distance go to the smaller target. window_size must be at least 1 and n_neighbors at "
        "least 0 (ValueError otherwise). Memory: every stored row holds one value per "
        "distinct feature name ever learnt, so a stream whose names never repeat costs "
        "window_size x distinct names doubles. Untrained, or with n_neighbors 0, predict_one "
        "answers 0.0.\n\n"
        "Distances are raw, so a feature on a large scale outweighs the others: put a scaler "
        "in front, as in RegressionPipeline([MinMaxScaler()], KNNRegressor()) (--scale minmax "
        "on the command line).",
        py::init<int, int, int>(), py::arg("n_neighbors") = 5, py::arg("window_size") = 1000,
        py::arg("p") = 2);
    add_neighbor_settings(cls);
}

}  // namespace tarvo::bindings
