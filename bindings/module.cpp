// The module _tarvo_core: the docstring, then every class in registration
// order. A base is always registered before the classes derived from it.

#include "bindings.hpp"

PYBIND11_MODULE(_tarvo_core, m, pybind11::multiple_interpreters::not_supported()) {
    using namespace tarvo::bindings;

    m.doc() =
        "Tarvo: online machine learning in C++ - streaming learners, preprocessing, metrics, "
        "drift, pipelines.";

    bind_itransformer(m);  //  1 ITransformer
    bind_iclassifier(m);   //  2 IClassifier
    bind_iregressor(m);    //  3 IRegressor
    bind_naive_bayes(m);   //  4 NaiveBayes
    bind_perceptron(m);    //  5 Perceptron
    bind_logistic_regression(m);  //  6 LogisticRegressionClassifier (native LogisticRegression)
    bind_passive_aggressive_classifier(m);  //  7 PassiveAggressiveClassifier
    bind_softmax_regression(m);  //  8 SoftmaxRegression
    bind_knn_classifier(m);  //  9 KNNClassifier
    bind_hoeffding_tree_classifier(m);  // 10 HoeffdingTreeClassifier
    bind_efdt_classifier(m);            // 11 EFDTClassifier (base HoeffdingTreeClassifier)
    bind_sgt_classifier(m);             // 12 SGTClassifier
    bind_arf_classifier(m);  // 13 ARFClassifier
    bind_srp_classifier(m);                 // 14 SRPClassifier
    bind_leveraging_bagging_classifier(m);  // 15 LeveragingBaggingClassifier
    bind_hoeffding_adaptive_tree_classifier(m);  // 16 HoeffdingAdaptiveTreeClassifier
    bind_linear_regression(m);  // 17 LinearRegression
    bind_bayesian_linear_regression(m);  // 18 BayesianLinearRegression
    bind_passive_aggressive_regressor(m);  // 19 PassiveAggressiveRegressor
    bind_knn_regressor(m);  // 20 KNNRegressor
    bind_hoeffding_tree_regressor(m);  // 21 HoeffdingTreeRegressor
    bind_arf_regressor(m);  // 22 ARFRegressor
    bind_srp_regressor(m);  // 23 SRPRegressor
    bind_fimtdd_regressor(m);  // 24 FIMTDDRegressor
    bind_leveraging_bagging_regressor(m);  // 25 LeveragingBaggingRegressor
    bind_sgbt_classifier(m);  // 26 SGBTClassifier
    bind_sgbr_regressor(m);  // 27 SGBRRegressor
    bind_standard_scaler(m);             // 28 StandardScaler
    bind_min_max_scaler(m);              // 29 MinMaxScaler
    bind_max_abs_scaler(m);              // 30 MaxAbsScaler
    bind_variance_threshold(m);          // 31 VarianceThreshold
    bind_select_k_best(m);               // 32 SelectKBest
    bind_classification_pipeline(m);     // 33 ClassificationPipeline
    bind_regression_pipeline(m);         // 34 RegressionPipeline
    bind_accuracy(m);                    // 35 Accuracy
    bind_macro_precision(m);             // 36 MacroPrecision
    bind_macro_recall(m);                // 37 MacroRecall
    bind_macro_f1(m);                    // 38 MacroF1
    bind_mae(m);                         // 39 MAE
    bind_rmse(m);                        // 40 RMSE
    bind_window_metric(m);               // 41 WindowMetric
    bind_window_regression_metric(m);    // 42 WindowRegressionMetric
    bind_r2(m);                          // 43 R2
    bind_adwin(m);                       // 44 ADWIN
    bind_eddm(m);                        // 45 EDDM
}
