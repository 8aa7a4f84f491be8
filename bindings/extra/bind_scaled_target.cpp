#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "../class_binders.hpp"
#include "extra.hpp"
#include "wrappers/scaled_target_regressor.hpp"

namespace tarvo::bindings {

namespace {

constexpr const char* kName = "ScaledTargetRegressor";

// What a saved wrapper states of its own. Its regressor is saved beside it as
// the object it is (so that an object shared with other owners stays shared);
// the record repeats the nesting depth, which a restored wrapper must agree with.
struct ScaledTargetRecord {
    TargetMoments moments;
    std::uint64_t depth = 0;

    template <class Archive>
    void fields(Archive& ar) {
        ar(moments, depth);
    }
};

// The saved state: (record, regressor), the regressor being the Python object itself.
py::tuple wrapper_state(const ScaledTargetRegressor& self) {
    ScaledTargetRecord record{self.moments(), self.depth()};
    return py::make_tuple(py::bytes(save_object(record, kName)), py::cast(self.regressor()));
}

// A wrapper rebuilt from a saved state; TypeError for a state of the wrong
// shape or a regressor of the wrong kind, ValueError for a record that does not
// match it.
std::shared_ptr<ScaledTargetRegressor> restore_wrapper(const py::object& state) {
    const std::string where = std::string(kName) + ".__setstate__(): ";
    if (!py::isinstance<py::tuple>(state) || py::len(state) != 2 ||
        !py::isinstance<py::bytes>(py::reinterpret_borrow<py::tuple>(state)[0])) {
        throw py::type_error(where + "the state must be a (bytes, regressor) tuple");
    }
    const auto parts = py::reinterpret_borrow<py::tuple>(state);
    const auto record = load_object<std::shared_ptr<ScaledTargetRecord>>(
        static_cast<std::string_view>(py::reinterpret_borrow<py::bytes>(parts[0])), kName);
    auto regressor = held<IRegressor>(parts[1], where + "the regressor", "IRegressor");
    auto self = std::make_shared<ScaledTargetRegressor>(std::move(regressor), record->moments);
    if (record->depth != self->depth()) {
        throw py::value_error(std::string("cannot load ") + kName +
                              ": the saved regressor does not match the wrapper");
    }
    return self;
}

// A copy whose regressor is a deep copy (sharing what it shares through `memo`).
std::shared_ptr<ScaledTargetRegressor> copy_wrapper(const ScaledTargetRegressor& self,
                                                    const py::dict& memo) {
    const py::object deepcopy = py::module_::import("copy").attr("deepcopy");
    const py::object regressor = deepcopy(py::cast(self.regressor()), memo);
    return std::make_shared<ScaledTargetRegressor>(held<IRegressor>(regressor, kName, "IRegressor"),
                                                   self.moments());
}

}  // namespace

void bind_scaled_target_regressor(py::module_& m) {
    using T = ScaledTargetRegressor;
    auto cls = bind_regressor<T>(
        m, kName,
        "A regressor that learns a standardised target and answers in the original units.\n\n"
        "For targets of any scale: the linear regressors clip their error to [-10, 10], so on "
        "a target in the hundreds of thousands they learn next to nothing; behind this wrapper "
        "they learn a target of mean 0 and standard deviation 1.\n\n"
        "learn_one(x, y) first adds y to the running mean and variance of the targets "
        "(Welford's method), then lets the regressor learn (y - mean) / scale, with the "
        "statistics that include y. scale is the population standard deviation of the targets "
        "learnt so far, or 1 while that is 0: the first target is learnt as 0.0, and so is "
        "every target as long as they are all equal. predict_one(x) answers "
        "mean + scale * regressor.predict_one(x); with nothing learnt, the regressor's own "
        "answer. A NaN or infinite target, or one whose square overflows (beyond about 1e154 "
        "in magnitude), raises ValueError and changes nothing. reset() forgets the statistics "
        "and resets the regressor.\n\n"
        "The regressor is shared with the caller, who sees what it learns; the caller's dict "
        "is never modified. Wrappers and regression pipelines nest in each other at most 100 "
        "deep. pickle saves the regressor as the object it is, so that an object shared with "
        "the caller is still shared after a round trip that carries both; copy.copy and "
        "copy.deepcopy copy the regressor too, so a copy shares nothing with the original.",
        py::init([](const py::typing::Union<IRegressor>& regressor) {
            return std::make_shared<T>(
                held<IRegressor>(regressor, std::string(kName) + "(): regressor", "IRegressor"));
        }),
        py::arg("regressor"));
    def_pickling<decltype(cls), py::object>(
        cls, kName, [](const T& self) { return wrapper_state(self); },
        [](const py::object& state) { return restore_wrapper(state); });
    cls.def(
        "__deepcopy__",
        [](const T& self, const py::dict& memo) { return copy_wrapper(self, memo); },
        py::arg("memo"), "A copy whose regressor is a copy too.");
    cls.def(
        "__copy__", [](const T& self) { return copy_wrapper(self, py::dict()); },
        "A copy whose regressor is a copy too (the same as copy.deepcopy).");
    cls.def("__repr__", [](const T& self) {
        return std::string(kName) + "(regressor=" + std::string(py::repr(py::cast(self.regressor()))) +
               ")";
    });
    cls.def_property_readonly("regressor", [](const T& self) { return self.regressor(); });
    cls.def_property_readonly("n_targets", [](const T& self) { return self.moments().count; });
    cls.def_property_readonly("target_mean", [](const T& self) { return self.moments().mean; });
    cls.def_property_readonly("target_sd", [](const T& self) { return self.moments().sd(); });
}

}  // namespace tarvo::bindings
