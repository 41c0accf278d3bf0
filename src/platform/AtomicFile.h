#pragma once
// The one way the system replaces a file (reports, Callers.bin, the caller
// listing, the settings file): the bytes go to a temporary file in the same
// folder, are flushed to the disk, the temporary file is renamed over the
// target, and the folder is flushed so that the new name survives a power
// cut too. A reader sees either the old file or the new one, never half of
// it. A new file gets the process umask; a replaced one keeps its
// permissions.
#include <cstddef>
#include <string>

enum class AtomicWriteResult {
    Ok = 0,
    CreateFailed,  // the temporary file could not be created
    WriteFailed,   // writing, flushing or renaming failed; nothing was replaced
                   // (also when only the folder could not be flushed: the new
                   // file is in place then, but may not survive a power cut)
};

// Test seam: the steps of a write, in their order. The hook is called before
// each step with the path the step works on (the temporary file; the target
// for Rename; the folder for SyncFolder); when it returns false the step
// fails as if the system call had. Null (the default) runs every step.
enum class AtomicWriteStep { Create, Write, SyncFile, Rename, SyncFolder };
using AtomicWriteHook = bool (*)(AtomicWriteStep step, const std::string& path);

// On a failure errno holds the failing step's reason (EIO for the hook).
AtomicWriteResult WriteFileAtomically(const std::string& path, const void* data, std::size_t size,
                                      AtomicWriteHook hook = nullptr);

// The two steps the durable writer is made of, for files that are
// appended to rather than replaced (the train journal): every byte written
// (EINTR retried; a write of 0 counts as EIO), and a folder's entries
// flushed (EINVAL, a file system that cannot flush a folder, is no failure).
bool WriteAllBytes(int fd, const void* bytes, std::size_t size);
bool SyncFolder(const std::string& folder);

// The temporary name a write of path by this thread uses:
// ".<name>.<pid>-<thread id>.tmp" in path's folder. Hidden, and not ending
// in the target's extension, so nothing that picks up finished files takes it.
std::string AtomicTempPath(const std::string& path);

// Removes the temporary files that writers killed in the middle of a write
// left in folder (only those of processes that no longer run), in any of the
// forms the system has used. Returns how many went.
int RemoveStaleTempFiles(const std::string& folder);
