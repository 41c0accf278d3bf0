#include "records/AtomicFile.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

AtomicWriteResult WriteFileAtomically(const std::string& path, const void* data, std::size_t size) {
    // The temporary file is hidden (leading dot) and does not end in the
    // target's extension, so a program that picks files up from the folder
    // does not take it for a finished one. mkstemp would create it 0600; the
    // target must get the ordinary permissions, so a fixed pattern with the
    // process id is opened with O_EXCL instead. Whatever stands at that name
    // (a leftover of an earlier process with the same id, or a planted link)
    // is removed first and never followed.
    const std::filesystem::path target(path);
    std::string tempLeaf = ".";
    tempLeaf += target.filename().string();
    tempLeaf += '.';
    tempLeaf += std::to_string(::getpid());
    tempLeaf += ".tmp";
    const std::filesystem::path temp = target.parent_path() / tempLeaf;
    const std::string tempName = temp.string();

    ::unlink(tempName.c_str());
    int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return AtomicWriteResult::CreateFailed;

    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(tempName.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(tempName.c_str());
        return AtomicWriteResult::WriteFailed;
    }
    return AtomicWriteResult::Ok;
}

int RemoveStaleTempFiles(const std::string& folder) {
    // ".<name>.<pid>.tmp" left by a process that was killed while writing.
    // A file of a process that still runs (this one, or another collector on
    // the same folder) may be in the middle of its write and stays.
    int removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 7 || name[0] != '.' || name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        const std::string stem = name.substr(0, name.size() - 4);
        const auto dot = stem.rfind('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == stem.size()) continue;
        const std::string digits = stem.substr(dot + 1);
        if (digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        std::error_code removeError;
        if (!entry.is_symlink(removeError) && !entry.is_regular_file(removeError)) continue;
        if (std::filesystem::remove(entry.path(), removeError)) ++removed;
    }
    return removed;
}
