#pragma once
// A site's Powerup: registered in the caller registry and acknowledged.
struct CollectorContext;

// Registers the site of the Powerup in rxBuffer, saves, logs, acknowledges.
void HandlePowerup(CollectorContext& ctx);
