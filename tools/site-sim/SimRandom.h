#pragma once
// A small deterministic random source (splitmix64). The standard
// distributions differ between library versions, so the simulator draws its
// numbers itself: the same seed gives the same trains everywhere.
#include <cstdint>

namespace sitesim {

class SimRandom {
public:
    explicit SimRandom(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number from lo to hi, both included (lo <= hi).
    int Range(int lo, int hi) {
        const std::uint64_t span = static_cast<std::uint64_t>(hi - lo) + 1;
        return lo + static_cast<int>(Next() % span);
    }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() & 0xFF); }
    // True in `percent` cases out of 100.
    bool Chance(int percent) { return Range(0, 99) < percent; }

private:
    std::uint64_t state_;
};

}  // namespace sitesim
