#pragma once
// The console's side of the train history in one include: the link to the
// engine's events and the history (ConsoleHistory) and its three views,
// Sites, Trains and Train, each a tab like the serial scope.
#include "console/ConsoleHistory.h"
#include "console/SitesView.h"
#include "console/TrainView.h"
#include "console/TrainsView.h"
