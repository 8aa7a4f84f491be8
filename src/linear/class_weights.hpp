#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"
#include "linear/feature_slots.hpp"
#include "linear/weight_row.hpp"

namespace tarvo {

// Working buffers of one classifier's calls, reused from one call to the next.
struct ScoreScratch {
    SlotSample sample;
    std::vector<double> scores;
    std::vector<double> probabilities;
};

// The learnt state of a linear classifier: one weight row (bias and sparse
// weights) per known label, over one shared feature index. Labels are
// registered by learning and visited either in ascending order or in the
// order they were first learnt.
class ClassWeights {
public:
    enum class Order { ascending, first_learnt };

    struct Class {
        int label = 0;
        WeightRow row;

        template <class Archive>
        void fields(Archive& ar) {
            ar(label, row);
        }
    };

    explicit ClassWeights(Order order) noexcept : order_(order) {}

    // Makes y known (a new label starts with bias 0 and no weights) and
    // returns its position in the visiting order. A known label changes
    // nothing. Positions of other labels may shift in ascending order.
    std::size_t register_label(int y);

    [[nodiscard]] bool empty() const noexcept { return classes_.empty(); }
    [[nodiscard]] std::size_t size() const noexcept { return classes_.size(); }
    [[nodiscard]] const std::vector<Class>& classes() const noexcept { return classes_; }
    [[nodiscard]] Class& at(std::size_t position) noexcept { return classes_[position]; }

    [[nodiscard]] FeatureSlots& features() noexcept { return features_; }
    [[nodiscard]] const FeatureSlots& features() const noexcept { return features_; }

    // The score of every class for the sample, in visiting order.
    void score_all(const SlotSample& sample, std::vector<double>& out) const;

    // Resolves x (adding no feature) into scratch.sample and scores every
    // class into scratch.scores.
    void score_all(const FeatureMap& x, ScoreScratch& scratch) const;

    void clear() noexcept;

    // The classes in visiting order and the feature index; the label
    // positions are rebuilt on loading (core/archive.hpp). The order is the
    // owner's and is not saved.
    template <class Archive>
    void fields(Archive& ar);

private:
    Order order_;
    std::vector<Class> classes_;                       // in visiting order
    std::unordered_map<int, std::size_t> position_;    // label -> position in classes_
    FeatureSlots features_;
};

}  // namespace tarvo
