#include "records/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

AtomicWriteResult WriteFileAtomically(const std::string& path, const void* data, std::size_t size) {
    // The temporary file is hidden (leading dot) and does not end in the
    // target's extension, so a program that picks files up from the folder
    // does not take it for a finished one. mkstemp would create it 0600; the
    // target must get the ordinary permissions, so a fixed pattern with the
    // process id is opened with O_EXCL instead.
    const std::filesystem::path target(path);
    const std::filesystem::path temp =
        target.parent_path() /
        ("." + target.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
    const std::string tempName = temp.string();

    int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
