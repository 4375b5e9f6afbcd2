// Per-effect smoothing in a loop: for each slot of its effect set, the effect as rendered, gliding
// toward the newest parameters (GlideToward, Effects.hpp). Fixed in size, so the loop keeps it
// without allocating. A slot keeps its glide while it holds the same effect (the same key); a slot
// that gets another effect, and every slot on a loop's first cycle, starts at its target.
#pragma once

#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

template <std::size_t N>
class Smoother {
public:
    // Moves the first `count` slots `seconds` toward their targets; the effects to render now.
    const std::array<Effect, N>& Advance(const std::array<Effect, N>& targets,
                                         const std::array<std::uint64_t, N>& keys,
                                         std::size_t count, double seconds) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            if (i >= count) {
                // Let go of what the slot held (a mesh's tree), so a set's resources are
                // referenced by no copy of the loop's once the loop renders a newer set.
                if (held_[i]) rendered_[i] = Effect{};
                held_[i] = false;
                continue;
            }
            rendered_[i] = held_[i] && keys_[i] == keys[i]
                               ? GlideToward(rendered_[i], targets[i], seconds)
                               : targets[i];
            keys_[i] = keys[i];
            held_[i] = true;
        }
        return rendered_;
    }

    // Forgets every glide: the next Advance starts each slot at its target.
    void Reset() noexcept {
        rendered_.fill(Effect{});
        held_.fill(false);
    }

private:
    std::array<Effect, N> rendered_{};
    std::array<std::uint64_t, N> keys_{};
    std::array<bool, N> held_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
