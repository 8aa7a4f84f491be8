#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/feature_map.hpp"
#include "core/task_runner.hpp"
#include "ensemble/booster.hpp"

namespace tarvo {

// A run of samples learnt by several boosters on several threads, to the same
// boosters, bit for bit, as learning the samples one after another.
//
// The stages of a booster depend on the stages before them, but a stage's
// prediction reads only its own trees, and its step only its own trees and
// the running score handed on by the stage before. So each booster's stages
// are cut into consecutive blocks, and each block is a lane: a task that
// takes the samples in order and, for each, scores and learns the sample on
// its stages, once the lane of the block before has passed that sample. The
// lanes of the first block also make the booster's draws for the sample
// (Booster::draw_row), in sample order, from the booster's generator. Lanes
// of one booster form a pipeline over the samples; the boosters run side by
// side.
class BoosterLanes {
public:
    // What one booster does with one sample.
    struct Cell {
        bool learns = false;  // it learns the sample
        bool scores = false;  // it scores the sample before learning it
        double target = 0.0;
        RowDraws draws;
        double raw = 0.0;  // the raw score (0.0 when the booster was not built)
        double f = 0.0;    // the running score, from block to block
    };

    // The most Poisson counts the cells of a run should hold, which bounds
    // the run's memory when the boosters have many trees.
    static constexpr std::size_t kMaxCounts = std::size_t{1} << 20;
    // The most samples of a run.
    static constexpr std::size_t kMaxRows = 4096;

    // The Poisson counts one sample takes from the booster.
    [[nodiscard]] static std::size_t counts_per_row(const Booster& booster) noexcept;

    // Cells for `rows` samples of `boosters` boosters, each neither learning
    // nor scoring.
    void prepare(std::size_t rows, std::size_t boosters);
    [[nodiscard]] Cell& cell(std::size_t r, std::size_t b) noexcept {
        return cells_[r * boosters_ + b];
    }

    // Runs the cells: boosters[b] learns xs[r] (and scores it first) as the
    // cell (r, b) says, the samples in order, the lanes as tasks of `runner`.
    // An exception of a lane stops every lane and is rethrown once all have
    // stopped; the boosters are then part-way through the samples.
    void run(std::span<Booster* const> boosters, std::span<const FeatureMap> xs,
             TaskRunner& runner);

private:
    struct Lane {
        std::size_t booster;
        std::size_t first;  // the block's stages [first, last)
        std::size_t last;
        std::size_t before;  // the lane of the block before, or kNone
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    // Samples a lane has finished, on a cache line of its own.
    struct alignas(64) Progress {
        std::atomic<std::uint32_t> rows{0};
    };

    // The blocks each booster's stages are cut into for `threads` threads.
    void plan(std::span<Booster* const> boosters, std::size_t threads);

    std::vector<Cell> cells_;
    std::size_t boosters_ = 0;
    std::vector<Lane> lanes_;
    std::vector<std::size_t> tails_;  // per booster, its last lane while planning
    std::vector<Lookup> lookups_;  // per lane
    std::unique_ptr<Progress[]> progress_;
    std::size_t progress_size_ = 0;
};

}  // namespace tarvo
