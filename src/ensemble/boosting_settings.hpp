#pragma once

// The settings every gradient-boosting model has, which each booster it
// makes copies when it is created.

#include <cstdint>
#include <string>

#include "ensemble/booster.hpp"

namespace tarvo {

// n_models stages of bag_size trees each, on percentage_of_features of the
// features, stepped with learning_rate; multiply_hessian_by repeats a
// stage's step, skip_training keeps one sample in that many; the trees take
// grace_period, split_confidence, max_depth and leaf_prediction; seed seeds
// the booster's generator.
struct BoostingSettings {
    std::int32_t n_models;
    double learning_rate;
    std::int32_t percentage_of_features;
    std::int32_t multiply_hessian_by;
    std::int32_t skip_training;
    std::int32_t bag_size;
    std::int32_t seed;
    std::int32_t grace_period;
    std::int32_t max_depth;
    double split_confidence;
    std::string leaf_prediction;

    // What a new booster copies, with its loss.
    [[nodiscard]] BoosterSettings for_booster(bool use_squared_loss) const {
        BoosterSettings s;
        s.n_models = n_models;
        s.percentage_of_features = percentage_of_features;
        s.multiply_hessian_by = multiply_hessian_by;
        s.skip_training = skip_training;
        s.bag_size = bag_size;
        s.learning_rate = learning_rate;
        s.use_squared_loss = use_squared_loss;
        s.grace_period = grace_period;
        s.max_depth = max_depth;
        s.split_confidence = split_confidence;
        s.leaf_prediction = leaf_prediction;
        s.seed = seed;
        return s;
    }

    // The settings for saving, restoring and listing (core/archive.hpp), in
    // the order every booster model saves them: n_models, learning_rate,
    // percentage_of_features, multiply_hessian_by, skip_training, the model's
    // own settings before the bag (`before_bag`), bag_size, its own after it
    // (`after_bag`), grace_period, split_confidence, max_depth,
    // leaf_prediction, seed.
    template <class Archive, class BeforeBag, class AfterBag>
    void params(Archive& ar, BeforeBag&& before_bag, AfterBag&& after_bag) {
        ar.param("n_models", n_models);
        ar.param("learning_rate", learning_rate);
        ar.param("percentage_of_features", percentage_of_features);
        ar.param("multiply_hessian_by", multiply_hessian_by);
        ar.param("skip_training", skip_training);
        before_bag();
        ar.param("bag_size", bag_size);
        after_bag();
        ar.param("grace_period", grace_period);
        ar.param("split_confidence", split_confidence);
        ar.param("max_depth", max_depth);
        ar.param("leaf_prediction", leaf_prediction);
        ar.param("seed", seed);
    }
};

}  // namespace tarvo
