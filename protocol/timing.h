#pragma once

#include <cstdint>

// The one clock every loop and every deadline of the programs counts in: a
// tick of 10 ms, as the design's timer. Each platform counts ticks by its
// own monotonic clock; everything portable counts ticks.
namespace Timing {
constexpr std::uint32_t kTickMilliseconds = 10;
constexpr std::uint32_t kTicksPerSecond = 1000 / kTickMilliseconds;
// A port behind a terminal server: the name, the connection and the line's
// settings, all of it, within this.
constexpr std::uint32_t kOpeningSeconds = 5;
constexpr std::uint32_t kOpeningTicks = kOpeningSeconds * kTicksPerSecond;
// A port gone before the device spoke is looked for this often: ten times
// a second, cheap beside the board's own power cycle.
constexpr std::uint32_t kReturnLookTicks = 10;
}  // namespace Timing
