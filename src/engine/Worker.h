#pragma once
// The worker loop of one collector: it answers the radio until the
// collector is asked to stop.
#include <cstdint>

class Collector;

// The longest the worker waits for the radio when it has nothing to do; the
// first byte that arrives ends the wait.
constexpr std::uint32_t IDLE_PAUSE_MS = 500;

// How often the worker looks whether the history file is still the one it
// saw (one stat, never a wait).
constexpr std::uint32_t HISTORY_WATCH_MS = 3000;

// The worker loop; returns when the collector is asked to stop.
void RunCollectorLoop(Collector& collector);

// One cycle of the loop: held train reports when their retry is due, the
// history file's watch, a port switch or an echo the operator asked for,
// then one receive step. Returns true when it handled a packet addressed to
// the collector (no pause follows), false when it waited for the radio (at
// most 500 ms, less when a byte arrived).
bool RunCollectorCycle(Collector& collector);

// Every HISTORY_WATCH_MS: when the history file was deleted, or another file
// was put in its place, since the last look (or is missing at the first
// look), HistoryFileChanged goes to the subscribers (the history's writer
// makes it again).
void WatchHistoryFile(Collector& collector);
