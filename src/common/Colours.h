#pragma once
#include <cstdint>

// Colours are stored as 0x00BBGGRR values, the way the panes and the
// worker-to-window messages carry them.
using Colour = std::uint32_t;

constexpr Colour MakeColour(unsigned r, unsigned g, unsigned b) {
    return static_cast<Colour>((b << 16) | (g << 8) | r);
}
constexpr unsigned ColourRed(Colour c) { return c & 0xFF; }
constexpr unsigned ColourGreen(Colour c) { return (c >> 8) & 0xFF; }
constexpr unsigned ColourBlue(Colour c) { return (c >> 16) & 0xFF; }

constexpr Colour COLOUR_PURPLE = MakeColour(128, 0, 128);     // time stamps, sent-packet lines
constexpr Colour COLOUR_DARK_RED = MakeColour(128, 0, 0);     // start-up lines, receiver errors
constexpr Colour COLOUR_DARK_BLUE = MakeColour(0, 0, 139);    // received packets and dumps, echo lines
constexpr Colour COLOUR_DARK_GREEN = MakeColour(0, 100, 0);   // Powerup notices, sent-frame dumps

static_assert(COLOUR_PURPLE == 0x800080);
static_assert(COLOUR_DARK_RED == 0x000080);
static_assert(COLOUR_DARK_BLUE == 0x8B0000);
static_assert(COLOUR_DARK_GREEN == 0x006400);
