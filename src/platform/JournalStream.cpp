#include "platform/JournalStream.h"

#include <sys/stat.h>

#include <cstdio>

bool IsJournalStream(int fd, const char* journalStream) {
    if (journalStream == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    char rest = 0;
    if (std::sscanf(journalStream, "%llu:%llu%c", &dev, &ino, &rest) != 2) return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}
