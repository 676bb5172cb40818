#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>

namespace orvane::adapter {

/// The editor's edits and the gestures around them, on their way from the
/// main thread to whichever thread next hands the host its events, in the
/// order they were made. One thread pushes, one pops, neither waits.
///
/// Each slot is one atomic word that carries, beside the edit, the turn it
/// was written for; a slot is taken only when its turn is the reader's, so
/// relaxed order is enough and a stale slot is never mistaken for a new one.
class EditQueue {
public:
    enum class Kind : std::uint8_t { value = 0, begin = 1, end = 2 };
    struct Edit {
        Kind kind = Kind::value;
        std::uint8_t address = 0;
        float value = 0.0f;
    };
    static constexpr std::uint32_t kCapacity = 256;

    /// Main thread. False when the reader is a whole queue behind.
    bool push(const Edit& edit) noexcept {
        const std::uint32_t read = read_.load(std::memory_order_relaxed);
        if (written_ - read >= kCapacity) return false;
        const std::uint64_t word = std::uint64_t{std::bit_cast<std::uint32_t>(edit.value)} |
                                   std::uint64_t{edit.address} << 32 | std::uint64_t(edit.kind) << 40 |
                                   std::uint64_t{turn(written_)} << 42;
        slots_[written_ % kCapacity].store(word, std::memory_order_relaxed);
        ++written_;
        return true;
    }

    /// The reading thread; never allocates. Null when nothing is waiting.
    std::optional<Edit> pop() noexcept {
        const std::uint32_t read = read_.load(std::memory_order_relaxed);
        const std::uint64_t word = slots_[read % kCapacity].load(std::memory_order_relaxed);
        if (word >> 42 != turn(read)) return std::nullopt;
        read_.store(read + 1, std::memory_order_relaxed);
        return Edit{static_cast<Kind>(word >> 40 & 3), static_cast<std::uint8_t>(word >> 32),
                    std::bit_cast<float>(static_cast<std::uint32_t>(word))};
    }

private:
    /// Turns are counted from 1, so a slot never written matches none.
    static std::uint32_t turn(std::uint32_t index) noexcept { return (index + 1) & ((1u << 22) - 1); }

    std::array<std::atomic<std::uint64_t>, kCapacity> slots_{};
    std::atomic<std::uint32_t> read_{0};
    std::uint32_t written_ = 0;
};

} // namespace orvane::adapter
