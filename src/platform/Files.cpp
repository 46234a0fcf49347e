#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vemlo::files {
namespace {

// The password file is read only for the home directory of a user without $HOME; no real one
// comes near this.
constexpr size_t kMaxPasswdBytes = size_t{16} << 20;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    // Closes now and reports the close's failure, which for a written file can be the write's.
    bool close() {
        const int f = fd;
        fd = -1;
        return ::close(f) == 0;
    }
};

bool fail(std::string* err, std::string text) {
    if (err) *err = std::move(text);
    return false;
}

bool failErrno(std::string* err) { return fail(err, errorText(errno)); }

bool absolute(const std::string& path, std::string* err) {
    if (!path.empty() && path.front() == '/') return true;
    return fail(err, "not an absolute path: \"" + path + "\"");
}

std::string dirName(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A folder where others may create or rename names: what stands there may have been planted.
bool othersMayWrite(const std::string& folder) {
    struct stat st {};
    return ::stat(folder.c_str(), &st) != 0 || (st.st_mode & (S_ISVTX | S_IWOTH)) != 0;
}

// Follows a chain of symbolic links so that the rename replaces the real file, not the link. We
// read the links ourselves, so the kernel's protected-symlinks rule does not guard us: a link of
// another user, or one in a sticky or world-writable folder (where anyone may have planted it), is
// refused, and so is a target in such a folder. Nothing, with `why` set, when refused.
std::optional<std::string> resolveLinks(const std::string& path, std::string* why) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            if (hops > 0 && othersMayWrite(dirName(current))) {
                fail(why, "the link's target " + current + " is in a folder that others can write");
                return std::nullopt;
            }
            return current;
        }
        if (st.st_uid != ::geteuid()) {
            fail(why, "the link " + current + " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
            return std::nullopt;
        }
        if (othersMayWrite(dirName(current))) {
            fail(why, "the link " + current + " is in a folder that others can write");
            return std::nullopt;
        }
        std::vector<char> buf(PATH_MAX + 1);
        ssize_t n = ::readlink(current.c_str(), buf.data(), buf.size() - 1);
        if (n <= 0) return current;
        std::string target(buf.data(), static_cast<size_t>(n));
        current = target.front() == '/' ? target : join(dirName(current), target);
    }
    return current;
}

bool ownRegular(const struct stat& st, std::string* err) {
    if (!S_ISREG(st.st_mode)) return fail(err, "not a regular file");
    if (st.st_uid != ::geteuid()) return fail(err, "not the user's own file");
    return true;
}

// Our temporary files are "<target>.vemlo-tmp.<pid>.<12 letters of kLetters>", the pid in plain
// decimal. The sweep below removes nothing of any other shape, so a user's "config.toml.tmp.1.backup"
// is never taken for one of ours.
constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t kRandomLetters = 12;

std::string temporaryPrefix(const std::string& target) { return baseName(target) + ".vemlo-tmp."; }

bool isOurTemporaryName(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix)) return false;
    name.remove_prefix(prefix.size());
    const size_t dot = name.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 10 || name[0] == '0') return false;
    if (!std::all_of(name.begin(), name.begin() + dot, [](char c) { return c >= '0' && c <= '9'; })) return false;
    const std::string_view random = name.substr(dot + 1);
    return random.size() == kRandomLetters &&
           random.find_first_not_of(std::string_view(kLetters, sizeof kLetters - 1)) == std::string_view::npos;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Creates our temporary file beside `target` (O_EXCL, which never follows a link) and holds an
// exclusive flock on it until the descriptor is closed: that lock, not the process id, is what tells
// a sweeper that the writer is alive, so writers in other PID namespaces sharing the home are safe.
// A sweeper that took the name between our open and our lock has removed it: then we try another.
int createTemporary(const std::string& target, mode_t mode, std::string& name, std::string* err) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[kRandomLetters] = {};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            for (auto& r : random) r = static_cast<unsigned char>(std::rand());
        }
        name = dirName(target) + "/" + temporaryPrefix(target) + std::to_string(::getpid()) + ".";
        for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            failErrno(err);
            return -1;
        }
        struct stat mine {}, named {};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &mine) == 0 && ::lstat(name.c_str(), &named) == 0 &&
            sameFile(mine, named))
            return fd;
        ::close(fd);
    }
    fail(err, "no free temporary file name");
    return -1;
}

// Removes the temporary files of `target` that their writers abandoned: a writer killed between
// creating its temporary file and renaming it leaves the file behind, and nothing else ever would
// remove it. A file is abandoned when nobody holds its flock (the kernel drops a dead writer's lock).
void removeStaleTemporaries(const std::string& target) {
    DIR* dir = ::opendir(dirName(target).c_str());
    if (!dir) return;
    const std::string prefix = temporaryPrefix(target);
    while (const dirent* entry = ::readdir(dir)) {
        if (!isOurTemporaryName(entry->d_name, prefix)) continue;
        const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        Fd file(fd);
        struct stat locked {}, named {};
        if (::fstat(fd, &locked) != 0 || !ownRegular(locked, nullptr) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) continue;
        // Still the file we locked: another sweeper may have removed it and a writer taken the name.
        if (::fstatat(::dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(locked, named))
            (void)::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

void syncDirectory(const std::string& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    (void)::fsync(dfd);
    ::close(dfd);
}

std::optional<std::string> readOpened(int fd, size_t maxBytes, bool ownFile, std::string* err) {
    Fd guard(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return failErrno(err), std::nullopt;
    if (ownFile && !ownRegular(st, err)) return std::nullopt;
    if (!S_ISREG(st.st_mode)) return fail(err, "not a regular file"), std::nullopt;
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return fail(err, "file too large"), std::nullopt;
    std::string out;
    out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failErrno(err), std::nullopt;
        if (n == 0) return out;
        if (out.size() + static_cast<size_t>(n) > maxBytes) return fail(err, "file too large"), std::nullopt;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::optional<std::string> readBounded(const std::string& path, size_t maxBytes, bool ownFile, std::string* err) {
    if (!absolute(path, err)) return std::nullopt;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused by fstat right after.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (ownFile ? O_NOFOLLOW : 0);
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return failErrno(err), std::nullopt;
    return readOpened(fd, maxBytes, ownFile, err);
}

bool makeDirectories(const std::string& path, mode_t mode, int depth, std::string* err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) || fail(err, "not a folder: " + path);
    if (depth > 256) return fail(err, "too deep: " + path);
    const std::string parent = dirName(path);
    if (parent != path && parent != "/" && !makeDirectories(parent, mode, depth + 1, err)) return false;
    if (::mkdir(path.c_str(), mode) == 0) return true;
    if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    return fail(err, "cannot create " + path + ": " + errorText(errno));
}

}  // namespace

std::string linkProblem(const std::string& path) {
    std::string why;
    return resolveLinks(path, &why) ? std::string() : why;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string errorText(int err) { return err != 0 ? std::strerror(err) : "unknown error"; }

std::string homeFromPasswd(std::string_view passwd, uid_t uid) {
    while (!passwd.empty()) {
        const size_t end = passwd.find('\n');
        std::string_view line = passwd.substr(0, end);
        passwd = end == std::string_view::npos ? std::string_view() : passwd.substr(end + 1);
        // name:password:uid:gid:gecos:home:shell
        std::string_view fields[7];
        size_t count = 0;
        for (; count < 7; ++count) {
            const size_t colon = line.find(':');
            fields[count] = line.substr(0, colon);
            if (colon == std::string_view::npos) {
                ++count;
                break;
            }
            line.remove_prefix(colon + 1);
        }
        if (count < 6) continue;
        uid_t lineUid = 0;
        auto [ptr, ec] = std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), lineUid);
        if (ec != std::errc() || ptr != fields[2].data() + fields[2].size() || fields[2].empty()) continue;
        if (lineUid != uid) continue;
        if (fields[5].empty() || fields[5].front() != '/') return {};
        return std::string(fields[5]);
    }
    return {};
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    const auto passwd = readBounded("/etc/passwd", kMaxPasswdBytes, /*ownFile=*/false, nullptr);
    return passwd ? homeFromPasswd(*passwd, ::getuid()) : std::string();
}

std::string join(std::string_view a, std::string_view b) {
    std::string out(a);
    if (out.empty()) return std::string(b);
    if (out.back() != '/') out += '/';
    while (!b.empty() && b.front() == '/') b.remove_prefix(1);
    out += b;
    return out;
}

bool exists(const std::string& path) {
    struct stat st {};
    return absolute(path, nullptr) && ::stat(path.c_str(), &st) == 0;
}

bool nameTaken(const std::string& path) {
    struct stat st {};
    return absolute(path, nullptr) && ::lstat(path.c_str(), &st) == 0;
}

bool isOwnRegularFile(const std::string& path) {
    struct stat st {};
    return absolute(path, nullptr) && ::lstat(path.c_str(), &st) == 0 && ownRegular(st, nullptr);
}

std::optional<std::string> readFile(const std::string& path, std::string* err) {
    return readBounded(path, kMaxReadBytes, /*ownFile=*/false, err);
}

std::optional<std::string> readOwnFile(const std::string& path, std::string* err) {
    return readBounded(path, kMaxReadBytes, /*ownFile=*/true, err);
}

bool createDirectories(const std::string& path, std::string* err) {
    return absolute(path, err) && makeDirectories(path, 0755, 0, err);
}

bool createPrivateDirectories(const std::string& path, std::string* err) {
    if (!absolute(path, err) || !makeDirectories(path, 0700, 0, err)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failErrno(err);
    Fd guard(fd);
    struct stat st {};
    // Someone else's folder is not ours to change; the files we make in it are still private.
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        (void)::fchmod(fd, st.st_mode & 07700);
    return true;
}

bool atomicWrite(const std::string& path, std::string_view bytes, std::string* err) {
    return atomicWrite(path, bytes, WriteOptions{}, err);
}

bool atomicWrite(const std::string& path, std::string_view bytes, const WriteOptions& options, std::string* err) {
    if (!absolute(path, err)) return false;
    const auto resolved = options.ownFile ? std::optional<std::string>(path) : resolveLinks(path, err);
    if (!resolved) return false;
    const std::string& target = *resolved;
    removeStaleTemporaries(target);

    struct stat st {};
    const bool replacing = !options.ownFile && ::stat(target.c_str(), &st) == 0;
    std::string tmp;
    // A new assistant's file gets its mode less the umask, which open applies.
    const int fd = createTemporary(target, options.ownFile ? 0600 : options.newFileMode, tmp, err);
    if (fd < 0) return false;
    Fd file(fd);
    bool ok = true;
    if (options.ownFile)
        ok = ::fchmod(fd, 0600) == 0 || failErrno(err);
    else if (replacing)
        ok = ::fchmod(fd, st.st_mode & 07777) == 0 || failErrno(err);
    ok = ok && (writeAll(fd, bytes) || failErrno(err));
    ok = ok && (!options.durable || ::fsync(fd) == 0 || failErrno(err));
    // The duplicate keeps the temporary file's lock until it is renamed; closing the original
    // reports a failed write.
    Fd lock(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    ok = (file.close() || (ok && failErrno(err))) && ok;
    ok = ok && (::rename(tmp.c_str(), target.c_str()) == 0 || failErrno(err));
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (options.durable) syncDirectory(dirName(target));
    return true;
}

Created createExclusive(const std::string& path, std::string_view bytes, mode_t mode, std::string* err) {
    if (!absolute(path, err)) return Created::failed;
    removeStaleTemporaries(path);
    std::string tmp;
    const int fd = createTemporary(path, mode, tmp, err);
    if (fd < 0) return Created::failed;
    Fd file(fd);
    bool ok = (::fchmod(fd, mode) == 0 || failErrno(err)) && (writeAll(fd, bytes) || failErrno(err)) &&
              (::fsync(fd) == 0 || failErrno(err));
    Fd lock(::fcntl(fd, F_DUPFD_CLOEXEC, 0));  // held until the temporary file is linked and gone
    ok = (file.close() || (ok && failErrno(err))) && ok;
    int linkError = 0;
    if (ok && ::link(tmp.c_str(), path.c_str()) != 0) {
        linkError = errno;
        ok = linkError == EEXIST || fail(err, errorText(linkError));
    }
    ::unlink(tmp.c_str());
    if (!ok) return Created::failed;
    if (linkError == EEXIST) return Created::alreadyThere;
    syncDirectory(dirName(path));
    return Created::created;
}

bool appendToFile(const std::string& path, std::string_view bytes, std::string* err) {
    if (!absolute(path, err)) return false;
    // A second round when another writer created the file between our open and our link.
    for (int round = 0; round < 2; ++round) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) return failErrno(err);
            const Created created = createExclusive(path, bytes, 0600, err);
            if (created == Created::alreadyThere) continue;
            return created == Created::created;
        }
        Fd file(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0) return failErrno(err);
        if (!ownRegular(st, err)) return false;
        if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) return failErrno(err);
        ssize_t n;
        do {
            n = ::write(fd, bytes.data(), bytes.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) return failErrno(err);
        if (static_cast<size_t>(n) != bytes.size()) return fail(err, "short write");
        return true;
    }
    return fail(err, "the file changed while it was being created");
}

int openOwnFile(const std::string& path, std::string* err) {
    if (!absolute(path, err)) return -1;
    for (int round = 0; round < 2; ++round) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno == EEXIST) continue;
        }
        if (fd < 0) return failErrno(err), -1;
        struct stat st {};
        if ((::fstat(fd, &st) == 0 || failErrno(err)) && ownRegular(st, err)) return fd;
        ::close(fd);
        return -1;
    }
    fail(err, "the file changed while it was being created");
    return -1;
}

}  // namespace vemlo::files
