#pragma once
// Whole-file replacement that never leaves a torn file behind: the bytes go
// to a temporary file in the same folder, are flushed to the disk, and the
// temporary file is then renamed over the target. A reader sees either the
// old file or the new one, never half of it. New files get the process umask.
#include <cstddef>
#include <string>

enum class AtomicWriteResult {
    Ok = 0,
    CreateFailed,  // the temporary file could not be created
    WriteFailed,   // writing, flushing or renaming failed; nothing was replaced
};

AtomicWriteResult WriteFileAtomically(const std::string& path, const void* data, std::size_t size);

// Removes the temporary files that writers killed in the middle of a write
// left in folder (only those of processes that no longer run). Returns how
// many went.
int RemoveStaleTempFiles(const std::string& folder);
