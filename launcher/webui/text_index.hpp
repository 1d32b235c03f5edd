#pragma once

// An open-addressed table of handles (non-zero 32-bit numbers) placed by the hash of the text each
// stands for, so that finding a text among many costs what it costs among few. The owner keeps the
// texts; a lookup asks it whether a handle's text is the one sought.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace vela::value {

class TextIndex {
  public:
    // No table yet: the owner scans its texts while they are few.
    [[nodiscard]] bool empty() const noexcept { return slots_.empty(); }

    // Whether one more handle leaves at least half of the slots free.
    [[nodiscard]] bool hasRoomForOneMore() const noexcept {
        return (used_ + 1) * 2 <= slots_.size();
    }

    // An empty table for `count` handles, which fill at most a quarter of it. Unchanged when it
    // throws.
    void reset(std::size_t count) {
        std::size_t slots = 64;
        while (slots < count * 4) {
            slots *= 2;
        }
        std::vector<std::uint32_t> fresh(slots, 0);
        slots_.swap(fresh);
        used_ = 0;
    }

    // The first handle placed for `text` for which `isText(handle)` holds; 0 when none.
    template <typename IsText>
    [[nodiscard]] std::uint32_t find(std::string_view text, IsText isText) const {
        if (slots_.empty()) {
            return 0;
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash(text) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
            if (isText(slots_[slot])) {
                return slots_[slot];
            }
        }
        return 0;
    }

    // Places `handle` (non-zero) for `text`; there must be room (reset, hasRoomForOneMore).
    void place(std::string_view text, std::uint32_t handle) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = hash(text) & mask;
        while (slots_[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots_[slot] = handle;
        ++used_;
    }

  private:
    [[nodiscard]] static std::size_t hash(std::string_view text) noexcept {
        return std::hash<std::string_view>{}(text);
    }

    std::vector<std::uint32_t> slots_;
    std::size_t used_ = 0;
};

}  // namespace vela::value
