// The class root on Linux: one text file of keys and their default values.
//
// Format: one entry per line, the key, a TAB, the value, a line feed. A key that is the start of a
// longer key followed by a backslash exists too, with an empty value, as a key above others does
// in the Windows registry. Blank lines, lines starting with '#' and lines without a TAB carry no
// entry and are kept as they are when the file is rewritten; a CR before the line feed and a
// missing line feed on the last line are tolerated, so a hand-edited file reads as meant.
//
// Durability: every change is a read-modify-write of the whole file under an exclusive flock on
// a lock file beside it ("<registry>.lock"; the registry itself is replaced, so it cannot carry
// the lock). The new content goes to a temporary file in the same folder, which is flushed to
// disk and renamed over the old one; a crash or a concurrent writer therefore leaves either the
// old file or the new one, never a torn one. The temporary file of a writer that died before its
// rename is removed by the next write. Reads take a shared lock.
//
// A registry path that is a symbolic link (say, into a folder shared by several users) stays one:
// the file at the end of the link chain is the registry, replaced in its own folder, with its own
// lock file, so writers through the link and writers naming the file directly agree.
#include "platform/registry.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

namespace platform {
namespace {

constexpr std::string_view kHeader =
    "# Component registry of qm4720 modules: one key per line, a TAB, its default value.\n";

// Closes its descriptor when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded (it can report a failed write-back).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string RegistryPath() {
    if (const char* path = std::getenv("QM4720_REGISTRY"); path != nullptr && *path != '\0') {
        return path;
    }
    // Relative values of these variables are invalid and ignored.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
        return std::string(data) + "/qm4720/registry";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/share/qm4720/registry";
    }
    return {};
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates the folders above `path` that are missing. Failures show up when the lock file is
// opened, with the reason in errno.
void MakeFoldersAbove(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

// The file that `path` names once its symbolic links are followed. A dangling link names the file
// to create; a relative link is read from the link's own folder. False when the links do not end
// or one cannot be read.
bool FollowLinks(std::string path, std::string& file) {
    constexpr int kMaxLinks = 40;  // the kernel gives up on a path at the same count
    for (int followed = 0; followed <= kMaxLinks; ++followed) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            // Absent, or not a link: what to read and replace. Any other trouble shows there.
            file = std::move(path);
            return true;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
        target.resize(static_cast<std::size_t>(length));
        if (target.front() != '/') {
            const std::string folder = FolderOf(path);
            target = (folder == "/" ? "" : folder) + "/" + target;
        }
        path = std::move(target);
    }
    errno = ELOOP;
    return false;
}

// Takes the registry's lock file, shared or exclusive. An invalid descriptor when it cannot.
FileDescriptor Lock(const std::string& path, bool exclusive) {
    const std::string lockPath = path + ".lock";
    FileDescriptor fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid() && !exclusive)
        fd = FileDescriptor(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return fd;
    while (::flock(fd.get(), exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) return FileDescriptor();
    }
    return fd;
}

enum class FileRead { read, absent, failed };

FileRead ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno == ENOENT ? FileRead::absent : FileRead::failed;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return FileRead::failed;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got > 0) {
            content.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return FileRead::read;
        } else if (errno != EINTR) {
            return FileRead::failed;
        }
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameKey(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// True when `key` lies below `above`: "above\..." in any letter case.
bool IsBelow(std::string_view key, std::string_view above) {
    return key.size() > above.size() && key[above.size()] == '\\' &&
           SameKey(key.substr(0, above.size()), above);
}

// One line of the file, without its line feed.
struct Entry {
    std::string_view key;
    std::string_view value;
};

// The entry a line carries, if any.
bool ParseLine(std::string_view line, Entry& entry) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') return false;
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0) return false;
    entry.key = line.substr(0, tab);
    entry.value = line.substr(tab + 1);
    return true;
}

// Calls `visit(line)` for each line of `content`, the last one also without a line feed.
template <typename Visit>
void ForEachLine(std::string_view content, Visit visit) {
    while (!content.empty()) {
        const std::size_t end = content.find('\n');
        if (end == std::string_view::npos) {
            visit(content);
            return;
        }
        visit(content.substr(0, end));
        content.remove_prefix(end + 1);
    }
}

// Keys and values must not break the line format; keys must not read as a comment.
bool Storable(std::string_view key, std::string_view value) {
    if (key.empty() || key.front() == '#' ||
        key.find_first_of(std::string_view("\t\r\n\0", 4)) != std::string_view::npos) {
        return false;
    }
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The name of the file at `path` without its folder.
std::string BaseNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Our temporary files beside the registry are ".<name>.qm4720-tmp.<pid>.XXXXXX": a name nobody
// picks by accident, which says which process wrote it. This is that name up to the pid.
std::string TemporaryPrefix(const std::string& path) {
    // Built by appending: GCC 12 at -O3 takes the inlined `"." + name` (an insert at the front) for
    // an overlapping copy and reports -Wrestrict, a known false positive of that release.
    std::string prefix(1, '.');
    prefix += BaseNameOf(path);
    prefix += ".qm4720-tmp.";
    return prefix;
}

// The process id that a temporary file's name carries, or 0 when the text is not one.
pid_t ProcessIdIn(std::string_view text) {
    if (text.empty() || text.front() < '1' || text.front() > '9') return 0;
    long pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || end != text.data() + text.size() || pid > INT_MAX) return 0;
    return static_cast<pid_t>(pid);
}

// Removes the temporary files that writers killed before their rename left beside the registry.
// Only files named exactly as ours are, and only once their writer's process is gone: the lock is
// advisory and does not reach every writer (on some network file systems), so holding it is not
// proof that nobody is writing.
void RemoveDeadWritersFiles(const std::string& path) {
    const std::string folder = FolderOf(path);
    const std::string prefix = TemporaryPrefix(path);
    constexpr std::size_t kUniqueLength = 6;  // the XXXXXX that mkostemp fills in
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* item = ::readdir(dir)) {
        std::string_view name(item->d_name);
        if (!name.starts_with(prefix)) continue;
        name.remove_prefix(prefix.size());
        const std::size_t dot = name.find('.');
        if (dot == std::string_view::npos || name.size() != dot + 1 + kUniqueLength) continue;
        const pid_t writer = ProcessIdIn(name.substr(0, dot));
        if (writer != 0 && ::kill(writer, 0) != 0 && errno == ESRCH) {
            ::unlink((folder + "/" + item->d_name).c_str());
        }
    }
    ::closedir(dir);
}

// Replaces the file at `path` with `content`, completely or not at all.
bool ReplaceFile(const std::string& path, std::string_view content) {
    const std::string folder = FolderOf(path);
    std::string temporary =
        folder + "/" + TemporaryPrefix(path) + std::to_string(::getpid()) + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) return false;

    // The new file keeps the permissions of the one it replaces.
    mode_t mode = 0644;
    if (struct stat old{}; ::stat(path.c_str(), &old) == 0) mode = old.st_mode & 07777;

    const bool written = WriteAll(fd.get(), content) && ::fchmod(fd.get(), mode) == 0 &&
                         ::fsync(fd.get()) == 0 && fd.close() &&
                         ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable.
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
    return true;
}

}  // namespace

KeyRead ReadClassRootValue(std::string_view key, std::string& value) {
    std::string path;
    if (const std::string named = RegistryPath(); named.empty() || !FollowLinks(named, path)) {
        return KeyRead::failed;
    }
    if (key.empty()) return KeyRead::missing;

    // Without the lock (a read-only folder, say) the read is still whole: writers only rename.
    const FileDescriptor lock = Lock(path, false);
    std::string content;
    switch (ReadWholeFile(path, content)) {
        case FileRead::absent:
            return KeyRead::missing;
        case FileRead::failed:
            return KeyRead::failed;
        case FileRead::read:
            break;
    }

    bool exact = false;
    bool above = false;
    ForEachLine(content, [&](std::string_view line) {
        Entry entry;
        if (exact || !ParseLine(line, entry)) return;
        if (SameKey(entry.key, key)) {
            exact = true;
            value.assign(entry.value);
        } else if (IsBelow(entry.key, key)) {
            above = true;
        }
    });
    if (exact) return KeyRead::found;
    if (above) {
        value.clear();
        return KeyRead::found;
    }
    return KeyRead::missing;
}

bool WriteClassRootValue(std::string_view key, std::string_view value) {
    if (!Storable(key, value)) return false;
    std::string path;
    if (const std::string named = RegistryPath(); named.empty() || !FollowLinks(named, path)) {
        return false;
    }

    MakeFoldersAbove(path);
    const FileDescriptor lock = Lock(path, true);
    if (!lock.valid()) return false;

    RemoveDeadWritersFiles(path);

    std::string old;
    if (ReadWholeFile(path, old) == FileRead::failed) return false;

    // Every line is kept but the key's own: its first line takes the new value, later duplicates
    // go. A key not yet present is appended.
    std::string updated = old.empty() ? std::string(kHeader) : std::string();
    bool replaced = false;
    ForEachLine(old, [&](std::string_view line) {
        Entry entry;
        if (ParseLine(line, entry) && SameKey(entry.key, key)) {
            if (replaced) return;
            replaced = true;
            updated.append(entry.key).append(1, '\t').append(value).append(1, '\n');
            return;
        }
        updated.append(line).append(1, '\n');
    });
    if (!replaced) updated.append(key).append(1, '\t').append(value).append(1, '\n');

    if (updated == old) return true;
    return ReplaceFile(path, updated);
}

bool ModuleFilePath(const void* addressInModule, std::string& path) {
    Dl_info info{};
    if (::dladdr(addressInModule, &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0') {
        return false;
    }
    // The name is as the module was loaded, perhaps relative: register the full path.
    char* full = ::realpath(info.dli_fname, nullptr);
    if (full == nullptr) return false;
    path.assign(full);
    std::free(full);
    return true;
}

}  // namespace platform
