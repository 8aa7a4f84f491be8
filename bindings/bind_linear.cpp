#include "bindings.hpp"
#include "class_binders.hpp"
#include "linear/bayesian_linear_regression.hpp"
#include "linear/linear_regression.hpp"
#include "linear/logistic_regression.hpp"
#include "linear/naive_bayes.hpp"
#include "linear/passive_aggressive_classifier.hpp"
#include "linear/passive_aggressive_regressor.hpp"
#include "linear/perceptron.hpp"
#include "linear/softmax_regression.hpp"

namespace tarvo::bindings {

void bind_naive_bayes(py::module_& m) {
    bind_classifier<NaiveBayes>(
        m, "NaiveBayes",
        "Online Gaussian naive Bayes classifier.\n\n"
        "Keeps per class a count and, per feature, a running mean and variance; "
        "predicts with the class prior times one normal density per feature. "
        "Untrained, predict_one answers -1 and predict_proba_one {}.",
        py::init<>());
}

void bind_perceptron(py::module_& m) {
    using T = Perceptron;
    bind_classifier<T>(
        m, "Perceptron",
        "Multi-class perceptron.\n\n"
        "Keeps a bias and sparse weights per label; on a mistake moves the true label towards "
        "the sample and the predicted label away from it by learning_rate. Ties go to the label "
        "learnt first. predict_proba_one normalises exp(score). Untrained, predict_one answers 0 "
        "and predict_proba_one {}.",
        py::init<double>(), py::arg("learning_rate") = 0.01)
        .def_readwrite("learning_rate", &T::learning_rate);
}

void bind_logistic_regression(py::module_& m) {
    using T = LogisticRegression;
    bind_classifier<T>(
        m, "LogisticRegressionClassifier",
        "One-vs-rest logistic regression trained by stochastic gradient steps.\n\n"
        "Every known label is a two-class model updated on every sample, with L2 shrinkage l2 "
        "of the weights (not the bias). predict_one takes the greatest raw score, ties going to "
        "the smallest label; predict_proba_one normalises exp(score). Untrained, predict_one "
        "answers 0 and predict_proba_one {}.",
        py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("l2", &T::l2);
}

void bind_passive_aggressive_classifier(py::module_& m) {
    using T = PassiveAggressiveClassifier;
    bind_classifier<T>(
        m, "PassiveAggressiveClassifier",
        "Multi-class passive-aggressive classifier (steps bounded by C).\n\n"
        "When the best rival label scores within a margin of 1 of the true label, adds the "
        "sample to the true label and subtracts it from the rival by the smallest step that "
        "restores the margin, at most C. Ties go to the smallest label. Untrained, predict_one "
        "answers 0 and predict_proba_one {}.",
        py::init<double>(), py::arg("C") = 1.0)
        .def_readwrite("C", &T::C);
}

void bind_softmax_regression(py::module_& m) {
    using T = SoftmaxRegression;
    bind_classifier<T>(
        m, "SoftmaxRegression",
        "Multinomial logistic regression trained by stochastic gradient steps.\n\n"
        "Softmax over the class scores (shifted by the greatest); every known label takes a "
        "step on every sample, with L2 shrinkage l2 of the weights. Untrained, predict_one "
        "answers 0 and predict_proba_one {}.",
        py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("l2", &T::l2);
}

void bind_linear_regression(py::module_& m) {
    using T = LinearRegression;
    bind_regressor<T>(
        m, "LinearRegression",
        "Linear regression by stochastic gradient descent on the squared error.\n\n"
        "The error and every per-feature gradient are clipped to [-10, 10]; l2 shrinks the "
        "weights, not the bias. Untrained, predict_one answers 0.0.",
        py::init<double, double>(), py::arg("learning_rate") = 0.01, py::arg("l2") = 0.0)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("l2", &T::l2);
}

void bind_bayesian_linear_regression(py::module_& m) {
    using T = BayesianLinearRegression;
    bind_regressor<T>(
        m, "BayesianLinearRegression",
        "Diagonal Bayesian linear regression.\n\n"
        "Each feature's weight has its own Gaussian posterior, with prior precision alpha and "
        "noise precision beta, moved by the residual clipped to [-10, 10]; the bias is the "
        "running mean of the clipped residuals. Untrained, predict_one answers 0.0.",
        py::init<double, double>(), py::arg("alpha") = 1.0, py::arg("beta") = 1.0)
        .def_readwrite("alpha", &T::alpha)
        .def_readwrite("beta", &T::beta);
}

void bind_passive_aggressive_regressor(py::module_& m) {
    using T = PassiveAggressiveRegressor;
    bind_regressor<T>(
        m, "PassiveAggressiveRegressor",
        "Passive-aggressive regression with an epsilon-insensitive loss (steps bounded by C).\n\n"
        "A residual beyond epsilon moves the weights and the bias towards the target by the "
        "smallest step that brings it within epsilon, at most C. Untrained, predict_one "
        "answers 0.0.",
        py::init<double, double>(), py::arg("C") = 1.0, py::arg("epsilon") = 0.1)
        .def_readwrite("C", &T::C)
        .def_readwrite("epsilon", &T::epsilon);
}

}  // namespace tarvo::bindings
