#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarvo {

// The last `window_size` entries of a stream, oldest overwritten first.
//
// Storage grows with the entries actually seen, up to the window size, so a
// very large window costs memory only once it is filled. Slots are never
// read before they are written, which makes this indistinguishable from a
// zero-filled ring allocated up front.
template <class T>
class WindowRing {
public:
    explicit WindowRing(int window_size) : window_size_(std::max(window_size, 0)) {
        entries_.reserve(static_cast<std::size_t>(std::min(window_size_, kInitialSlots)));
    }

    [[nodiscard]] int window_size() const noexcept { return window_size_; }
    [[nodiscard]] int size() const noexcept { return count_; }
    [[nodiscard]] bool full() const noexcept { return count_ == window_size_; }

    // Makes room so that the next push cannot fail; the only step that allocates.
    void prepare_push() {
        if (!full() && entries_.size() == entries_.capacity()) {
            const std::size_t cap = static_cast<std::size_t>(window_size_);
            entries_.reserve(std::min(cap, std::max<std::size_t>(2 * entries_.capacity(), 16)));
        }
    }

    // The entry the next push overwrites; meaningful only when full().
    [[nodiscard]] const T& oldest() const noexcept { return entries_[static_cast<std::size_t>(pos_)]; }

    // Stores value at the write position and advances it. Requires a positive
    // window size and a preceding prepare_push().
    void push(const T& value) noexcept {
        if (full()) {
            entries_[static_cast<std::size_t>(pos_)] = value;
        } else {
            entries_.push_back(value);  // capacity reserved by prepare_push
            count_ += 1;
        }
        pos_ += 1;
        if (pos_ == window_size_) {
            pos_ = 0;
        }
    }

    // Entries 0 .. size() - 1 in slot order (not age order).
    [[nodiscard]] const std::vector<T>& slots() const noexcept { return entries_; }

    void clear() noexcept {
        entries_.clear();
        pos_ = 0;
        count_ = 0;
    }

    // The entries in slot order and the write position; the window size is
    // the owner's setting, given at construction.
    template <class Archive>
    void fields(Archive& ar) {
        ar(entries_, pos_);
        if constexpr (Archive::kLoading) {
            const std::size_t n = entries_.size();
            ar.check(window_size_ >= 0 && n <= static_cast<std::size_t>(window_size_),
                     "the window holds more than its size");
            count_ = static_cast<int>(n);
            const bool full = count_ == window_size_;
            ar.check(full ? (pos_ >= 0 && pos_ < std::max(window_size_, 1)) : pos_ == count_,
                     "the window position is out of range");
        }
    }

private:
    static constexpr int kInitialSlots = 1 << 12;

    int window_size_;
    std::vector<T> entries_;
    int pos_ = 0;
    int count_ = 0;
};

}  // namespace tarvo
