#pragma once
// The daily scope log: every serial scope entry, as the plain text the
// scope shows (time-stamp prefix and text or dump, unchanged), appended to
// "Logs/Scope-YYYYMMDD.txt" in the data folder, one file per local date.
// The file and folder are made when first needed and the file is flushed
// after every entry, so nothing is lost when a pane trims its text or the
// program ends. Log files dated more than 90 days before today are removed
// at the first entry and at every change of date.
//
// A file that cannot be written is reported once on stderr, and once more
// when writing works again; the entries in between are lost, nothing else
// is affected. (It cannot use LogLine: that would come back here.)
//
// Off until enabled; while on, every scope entry the core makes
// (SendToScope) is appended, whether or not a scope window exists.
// Thread-safe; the date is the installed clock's.
#include <ctime>
#include <string>
#include <string_view>

// Appends one entry's text as it is (it normally ends with its own line end).
void ScopeLogAppend(std::string_view plainText);
// Turns the log on or off; off also closes the file (a later entry reopens
// it, under exeDirectory as it is then).
void SetScopeLogEnabled(bool enabled);
bool ScopeLogEnabled();

constexpr int SCOPE_LOG_KEEP_DAYS = 90;
// "Scope-YYYYMMDD.txt" for the local date of `now`.
std::string ScopeLogFileName(std::time_t now);
