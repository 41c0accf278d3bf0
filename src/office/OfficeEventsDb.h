#pragma once
// The points' events in the office's database (OfficeDatabase::Store's
// share of them, inside its transaction) and the acknowledgements still to
// go to the points.
#include <map>
#include <string>
#include <vector>

#include "office/OfficeDb.h"

struct pg_conn;

// Stores each event once by its key (an alarm once by its alarm key, the
// first acknowledgement of an alarm kept) and the points' status; `pointIds`
// holds the id of every point named. False with the reason.
bool StorePointEvents(pg_conn* conn, const std::vector<EventMessage>& events, const std::vector<PointStatus>& statuses,
                      const std::map<std::string, std::string>& pointIds, std::string* why);
bool ReadPendingAcks(pg_conn* conn, std::vector<PendingAck>* acks, std::string* why);
bool ReadPendingAlarms(pg_conn* conn, std::vector<PendingAlarm>* alarms, std::string* why);
