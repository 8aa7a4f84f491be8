#include "ensemble/booster_lanes.hpp"

#include <algorithm>
#include <exception>

namespace tarvo {

std::size_t BoosterLanes::counts_per_row(const Booster& booster) noexcept {
    const auto bag = static_cast<std::size_t>(booster.settings().bag_size);
    return bag < 2 ? 0 : booster.stage_count() * bag;
}

void BoosterLanes::prepare(std::size_t rows, std::size_t boosters) {
    boosters_ = boosters;
    if (cells_.size() < rows * boosters) {
        cells_.resize(rows * boosters);
    }
    for (std::size_t i = 0; i < rows * boosters; ++i) {
        cells_[i].learns = false;
        cells_[i].scores = false;
    }
}

void BoosterLanes::plan(std::span<Booster* const> boosters, std::size_t threads) {
    // About two lanes per thread, so that a pipeline has a lane to go on
    // with while another waits; one thread needs no pipeline.
    const std::size_t nb = boosters.size();
    const std::size_t blocks = threads <= 1 ? 1 : std::max<std::size_t>(1, (2 * threads + nb - 1) / nb);
    lanes_.clear();
    tails_.assign(nb, kNone);
    // Block by block, so that a lane is handed out after the lane it waits
    // for: that one has started and finishes without waiting for it.
    for (std::size_t j = 0; j < blocks; ++j) {
        for (std::size_t b = 0; b < nb; ++b) {
            const std::size_t stages = boosters[b]->stage_count();
            const std::size_t cut = std::min(blocks, stages);
            if (j < cut) {
                lanes_.push_back(Lane{b, j * stages / cut, (j + 1) * stages / cut, tails_[b]});
                tails_[b] = lanes_.size() - 1;
            }
        }
    }
}

void BoosterLanes::run(std::span<Booster* const> boosters, std::span<const FeatureMap> xs,
                       TaskRunner& runner) {
    const auto end = static_cast<std::uint32_t>(xs.size());
    if (end == 0 || boosters.empty()) {
        return;
    }
    plan(boosters, runner.threads());
    const std::size_t lanes = lanes_.size();
    if (lookups_.size() < lanes) {
        lookups_.resize(lanes);
    }
    if (progress_size_ < lanes) {
        progress_ = std::make_unique<Progress[]>(lanes);
        progress_size_ = lanes;
    }
    for (std::size_t l = 0; l < lanes; ++l) {
        progress_[l].rows.store(0, std::memory_order_relaxed);
    }
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    runner.run(lanes, [&](std::size_t l) {
        const Lane& lane = lanes_[l];
        Booster& booster = *boosters[lane.booster];
        Lookup& lookup = lookups_[l];
        std::atomic<std::uint32_t>& done = progress_[l].rows;
        try {
            for (std::uint32_t r = 0; r < end; ++r) {
                if (lane.before != kNone) {
                    // Sleeps until the block before has passed the sample.
                    std::atomic<std::uint32_t>& before = progress_[lane.before].rows;
                    for (std::uint32_t seen = before.load(std::memory_order_acquire); seen <= r;
                         seen = before.load(std::memory_order_acquire)) {
                        before.wait(seen, std::memory_order_acquire);
                    }
                }
                if (failed.load(std::memory_order_relaxed)) {
                    break;
                }
                Cell& c = cell(r, lane.booster);
                if (lane.first == 0) {
                    c.raw = 0.0;
                    c.f = 0.0;
                    if (c.learns) {
                        booster.draw_row(xs[r], c.draws);
                    } else {
                        c.draws.kept = false;
                        c.draws.built = booster.initialised();
                    }
                }
                if (c.learns || c.scores) {
                    booster.step(lane.first, lane.last, xs[r], c.target, c.draws, lookup,
                                 c.scores ? &c.raw : nullptr, c.f);
                }
                done.store(r + 1, std::memory_order_release);
                done.notify_all();
            }
        } catch (...) {
            if (!failed.exchange(true)) {
                error = std::current_exception();
            }
        }
        // Lanes waiting for this one go on, and stop.
        done.store(end, std::memory_order_release);
        done.notify_all();
    });
    if (error) {
        std::rethrow_exception(error);
    }
}

}  // namespace tarvo
