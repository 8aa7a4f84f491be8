#pragma once

// Rules every tree forest applies to its settings: how many members it keeps,
// the Poisson law of a member's training weight, and the seeds of the trees it
// builds.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/random.hpp"

namespace tarvo {

// The most members a forest keeps. Every member holds two drift detectors
// and up to two trees, so a count near the int range would exhaust memory
// instead of building a forest.
inline constexpr std::int32_t kMaxForestMembers = 100000;

// max(1, n_models). Throws std::invalid_argument naming n_models when it
// exceeds kMaxForestMembers.
[[nodiscard]] std::size_t forest_size(std::int32_t n_models);

// Keeps the first `size` members and appends new ones built from args.
template <class Member, class... Args>
void resize_forest(std::vector<Member>& members, std::size_t size, const Args&... args) {
    if (members.size() > size) {
        members.erase(members.begin() + static_cast<std::ptrdiff_t>(size), members.end());
    }
    members.reserve(size);
    while (members.size() < size) {
        members.emplace_back(args...);
    }
}

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

// The members of a forest that always has at least one.
template <class Ar, class Member, class... Args>
void archive_members(Ar& ar, std::vector<Member>& members, const Args&... args) {
    archive_members_at_least(ar, 1, members, args...);
}

// The most a training weight's mean may be: every member learns a sample about
// lambda_value times, so a larger mean would hold one call for hours.
inline constexpr double kMaxTrainingWeightMean = 1000.0;

// The Poisson parameters of a training weight with mean lambda_value. Throws
// std::invalid_argument naming lambda_value when it is NaN, infinite or above
// kMaxTrainingWeightMean: the draw would never end (NaN) or ask for up to
// 2^31 repetitions per member.
[[nodiscard]] PoissonParams training_weight(double lambda_value);

// seed + step * (index + 1) + trunc(count), in unsigned 32-bit arithmetic
// with wrap-around, as the signed seed of a tree. count is a non-negative
// whole number of samples; it is taken modulo 2^32.
[[nodiscard]] std::int32_t member_seed(std::int32_t seed, std::uint32_t step, std::size_t index,
                                       double count) noexcept;

}  // namespace tarvo
