#pragma once

// The settings every tree forest has, and the rules it applies to them: how
// many members it keeps, the law of a member's training weight, and the seeds
// of the trees it builds.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "core/random.hpp"

namespace tarvo {

// The settings of every forest. n_models is read by reset only; seed seeds
// the forest's generator at reset (and, in some forests, the trees it
// builds); lambda_value is the mean training weight of a member; drift_delta
// is the confidence of the detector that replaces a member's tree;
// grace_period and max_depth go to every member tree.
struct ForestSettings {
    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    double drift_delta;
    std::int32_t grace_period;
    std::int32_t max_depth;

    // The settings for saving, restoring and listing (core/archive.hpp), in
    // the order every forest saves them: n_models, seed, lambda_value,
    // drift_delta, the other detector settings that `detectors()` states,
    // grace_period, max_depth.
    template <class Archive, class Detectors>
    void params(Archive& ar, Detectors&& detectors) {
        ar.param("n_models", n_models);
        ar.param("seed", seed);
        ar.param("lambda_value", lambda_value);
        ar.param("drift_delta", drift_delta);
        detectors();
        ar.param("grace_period", grace_period);
        ar.param("max_depth", max_depth);
    }
    template <class Archive>
    void params(Archive& ar) {
        params(ar, [] {});
    }
};

// The settings of a forest whose members also keep a warning detector, which
// starts a background tree (warning_delta is its confidence).
struct BackgroundForestSettings : ForestSettings {
    double warning_delta;

    template <class Archive>
    void params(Archive& ar) {
        ForestSettings::params(ar, [&] { ar.param("warning_delta", warning_delta); });
    }
};

// Members start on a cache line of their own: the members' steps run on
// several threads at once, and each writes its own member's counters on
// every sample.
inline constexpr std::size_t kMemberAlignment = 64;

// The most members a forest keeps. Every member holds two drift detectors
// and up to two trees, so a count near the int range would exhaust memory
// instead of building a forest.
inline constexpr std::int32_t kMaxForestMembers = 100000;

// max(1, n_models). Throws std::invalid_argument naming n_models when it
// exceeds kMaxForestMembers.
[[nodiscard]] std::size_t forest_size(std::int32_t n_models);

// The members of a forest for saving and restoring (core/archive.hpp):
// their count (min_count .. kMaxForestMembers when loading), then each
// member's fields. A loaded member is built from args just before its fields
// are read, so a count the data cannot back fails before many are built.
template <class Ar, class Member, class... Args>
void archive_members_at_least(Ar& ar, std::size_t min_count, std::vector<Member>& members,
                              const Args&... args) {
    if constexpr (Ar::kLoading) {
        const std::size_t n = ar.get_count(1);
        ar.check(n >= min_count && n <= static_cast<std::size_t>(kMaxForestMembers),
                 "the member count is out of range");
        members.clear();
        for (std::size_t i = 0; i < n; ++i) {
            members.emplace_back(args...);
            ar(members.back());
        }
    } else if constexpr (!Ar::kParamsOnly) {
        ar.put_u64(members.size());
        for (Member& m : members) {
            ar(m);
        }
    }
}

// The most a training weight's mean may be: every member learns a sample about
// lambda_value times, so a larger mean would hold one call for hours.
inline constexpr double kMaxTrainingWeightMean = 1000.0;

// The Poisson parameters of a training weight with mean lambda_value. Throws
// std::invalid_argument naming lambda_value when it is NaN, infinite or above
// kMaxTrainingWeightMean: the draw would never end (NaN) or ask for up to
// 2^31 repetitions per member.
[[nodiscard]] PoissonParams training_weight(double lambda_value);

// The law of the members' training weights in one learning step: Poisson
// with a given mean, or 1 for every member, with nothing drawn.
class TrainingWeights {
public:
    // Every weight 1.
    TrainingWeights() = default;
    // Poisson(lambda_value). Throws std::invalid_argument as training_weight.
    explicit TrainingWeights(double lambda_value) : params_(training_weight(lambda_value)) {}

    [[nodiscard]] int draw(std::mt19937& gen) const {
        return params_ ? poisson(gen, *params_) : 1;
    }

private:
    std::optional<PoissonParams> params_;
};

// seed + step * (index + 1) + trunc(count), in unsigned 32-bit arithmetic
// with wrap-around, as the signed seed of a tree. count is a non-negative
// whole number of samples; it is taken modulo 2^32.
[[nodiscard]] std::int32_t member_seed(std::int32_t seed, std::uint32_t step, std::size_t index,
                                       double count) noexcept;

}  // namespace tarvo
