#pragma once
// Which processes have a device open, as far as /proc lets us see (all of
// them for root, our own otherwise).
#include <string>
#include <vector>

// "pid 1234 (kestova-collector)" for each process holding device open.
std::vector<std::string> ProcessesHolding(const std::string& device);
