#pragma once
// The caller registry: the sites that announced themselves with a Powerup.
#include <cstdint>

struct CollectorContext;

// Registers the site of the Powerup in rxBuffer, saves, logs, acknowledges.
void HandlePowerup(CollectorContext& ctx);
