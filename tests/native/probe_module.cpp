#include "probe.hpp"

PYBIND11_MODULE(_tarvo_probe, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Test-only access to native internals of _tarvo_core.";
    tarvo::probe::add_floor(m);
    tarvo::probe::add_limit(m);
    tarvo::probe::add_core(m);
    tarvo::probe::add_stream(m);
    tarvo::probe::add_numbering(m);

    // random
    tarvo::probe::add_random(m);

    // neighbors
    tarvo::probe::add_neighbors(m);

    // tree
    tarvo::probe::add_tree_regressor(m);
    tarvo::probe::add_tree(m);
    tarvo::probe::add_fimtdd(m);

    // ensemble
    tarvo::probe::add_ensemble(m);
    tarvo::probe::add_boosting(m);

    // metrics
    tarvo::probe::add_metrics(m);

    // drift
    tarvo::probe::add_drift(m);

    // pipeline
    tarvo::probe::add_pipeline(m);

}
