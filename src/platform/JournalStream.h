#pragma once
// Whether a file descriptor is the systemd journal's stream: systemd names
// the stream it connects a service's stdout and stderr to in JOURNAL_STREAM
// ("DEVICE:INODE", decimal). Only then may a line carry the journal's
// priority prefix ("<2>" crit, "<3>" err); nothing else is guessed.

// True when `journalStream` (the variable's value; null when unset) names
// the device and inode of `fd`.
bool IsJournalStream(int fd, const char* journalStream);
