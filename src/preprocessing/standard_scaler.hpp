#pragma once

#include <string>
#include <unordered_map>

#include "core/fresh_container.hpp"
#include "core/transformer.hpp"

namespace tarvo {

// Centres every feature on its running mean and, with with_std, divides by its
// running population standard deviation. A feature never learnt, or with zero
// variance, maps to 0.0 (with with_std false a feature never learnt passes
// unchanged).
class StandardScaler final : public ITransformer {
public:
    explicit StandardScaler(bool with_std = true) : with_std(with_std) {}

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    [[nodiscard]] FeatureMap transform_one(const FeatureMap& x) override;
    void transform_in_place(FeatureMap& x) override;
    void reset() override { replace_with_empty(stats_); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameter, read at every call. The variance moves only while it is true.
    bool with_std;

private:
    struct FeatureMoments {
        double count = 0.0;
        double mean = 0.0;
        double variance = 0.0;  // mean squared deviation, divisor count

        template <class Archive>
        void fields(Archive& ar) {
            ar(count, mean, variance);
        }
    };

    std::unordered_map<std::string, FeatureMoments> stats_;
};

}  // namespace tarvo
