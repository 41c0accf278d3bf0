#pragma once
// The caller registry: the sites that announced themselves with a Powerup.
#include <cstdint>

struct CollectorContext;

// Registers the site of the Powerup in rxBuffer, saves, logs, acknowledges.
void HandlePowerup(CollectorContext& ctx);

// Loads "Callers.bin" into the table; the number of used entries, or -1.
int LoadCallers();
// Writes the listing "Temp/RemoteCaller.txt" and stores its path. Shows the
// documented message boxes and returns false when there is nothing to list
// or the file cannot be created. Opening a viewer is the caller's business.
#include <string>
bool ListCallers(std::string* listingPath);
