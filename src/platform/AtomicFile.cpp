#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>

namespace {

// False when the test hook makes this step fail; errno is then EIO.
bool StepAllowed(AtomicWriteHook hook, AtomicWriteStep step, const std::string& path) {
    if (hook == nullptr || hook(step, path)) return true;
    errno = EIO;
    return false;
}


// The folder flushed, so that a rename in it is on the disk.
bool SyncFolderStep(const std::string& folder, AtomicWriteHook hook) {
    return StepAllowed(hook, AtomicWriteStep::SyncFolder, folder) && SyncFolder(folder);
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.size() <= 9 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The writer's process id in a temporary file's name, or 0 for a name that
// is none of ours. The forms:
//   ".<name>.<pid>-<tid>.tmp"   this writer
//   ".<name>.<pid>.tmp"         the registry and report writer of old
//   "<name>.tmp.<pid>.<n>"      the settings writer of old
pid_t WriterOf(std::string_view name) {
    if (name.size() > 5 && name.front() == '.' && name.substr(name.size() - 4) == ".tmp") {
        const std::string_view stem = name.substr(1, name.size() - 5);
        const auto dot = stem.rfind('.');
        if (dot == std::string_view::npos || dot == 0) return 0;
        std::string_view id = stem.substr(dot + 1);
        const auto dash = id.find('-');
        if (dash != std::string_view::npos) {
            if (!AllDigits(id.substr(dash + 1))) return 0;
            id = id.substr(0, dash);
        }
        return AllDigits(id) ? static_cast<pid_t>(std::stol(std::string(id))) : 0;
    }
    const auto counterDot = name.rfind('.');
    if (counterDot == std::string_view::npos || !AllDigits(name.substr(counterDot + 1))) return 0;
    const std::string_view front = name.substr(0, counterDot);
    const auto pidDot = front.rfind('.');
    if (pidDot == std::string_view::npos || !AllDigits(front.substr(pidDot + 1))) return 0;
    const std::string_view named = front.substr(0, pidDot);
    if (named.size() <= 4 || named.substr(named.size() - 4) != ".tmp") return 0;
    return static_cast<pid_t>(std::stol(std::string(front.substr(pidDot + 1))));
}

}  // namespace


std::string AtomicTempPath(const std::string& path) {
    const std::filesystem::path target(path);
    char ids[48];
    std::snprintf(ids, sizeof ids, ".%ld-%ld.tmp", static_cast<long>(::getpid()),
                  static_cast<long>(::gettid()));
    std::string leaf = ".";
    leaf += target.filename().string();
    leaf += ids;
    return (target.parent_path() / leaf).string();
}

AtomicWriteResult WriteFileAtomically(const std::string& path, const void* data, std::size_t size,
                                      AtomicWriteHook hook) {
    // mkstemp would create the file 0600; the target must get the ordinary
    // permissions, so the name of this process and thread is opened with
    // O_EXCL instead. Whatever stands at that name (a leftover of an earlier
    // process with the same id, or a planted link) is removed first and
    // never followed.
    const std::string temp = AtomicTempPath(path);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const std::string folder = parent.empty() ? std::string(".") : parent.string();

    struct stat old {};
    const bool replacing = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    ::unlink(temp.c_str());
    if (!StepAllowed(hook, AtomicWriteStep::Create, temp)) return AtomicWriteResult::CreateFailed;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return AtomicWriteResult::CreateFailed;
    if (replacing) (void)::fchmod(fd, old.st_mode & 07777);

    bool ok = StepAllowed(hook, AtomicWriteStep::Write, temp) &&
              WriteAllBytes(fd, data, size);
    ok = ok && StepAllowed(hook, AtomicWriteStep::SyncFile, temp) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    ok = ok && StepAllowed(hook, AtomicWriteStep::Rename, path) &&
         std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;  // the caller may name the failure
        ::unlink(temp.c_str());
        errno = error;
        return AtomicWriteResult::WriteFailed;
    }
    return SyncFolderStep(folder, hook) ? AtomicWriteResult::Ok : AtomicWriteResult::WriteFailed;
}

int RemoveStaleTempFiles(const std::string& folder) {
    // A file of a process that still runs (this one, or another collector on
    // the same folder) may be in the middle of its write and stays.
    int removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const pid_t pid = WriterOf(entry.path().filename().string());
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        std::error_code removeError;
        if (!entry.is_symlink(removeError) && !entry.is_regular_file(removeError)) continue;
        if (std::filesystem::remove(entry.path(), removeError)) ++removed;
    }
    return removed;
}

bool WriteAllBytes(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}
