#include "util/file_io.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "util/os_error.hpp"

namespace flowsieve {

Result<UniqueFd, int> open_regular_for_writing(int dir_fd, const char* path, int flags) {
    const int base = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags;
    UniqueFd fd;
    if (flags & O_CREAT) {
        // Usually nothing is there yet: a file this call creates is regular,
        // which saves asking.
        fd.reset(::openat(dir_fd, path, base | O_EXCL, 0666));
        if (fd.valid()) return fd;
        if (errno != EEXIST) return errno;
    }
    fd.reset(::openat(dir_fd, path, base, 0666));
    if (!fd.valid()) return errno;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return ENXIO;
    return fd;
}

namespace {

constexpr int kCreateFlags = O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Attempts before a name that keeps changing under us is given up.
constexpr int kCreateAttempts = 16;

// The file at the name, not followed: ENOENT when there is none.
int kind_of(int dir_fd, const char* name, struct stat& st) {
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    return S_ISREG(st.st_mode) ? 0 : ENXIO;
}

}  // namespace

std::optional<FileId> file_id(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

namespace {

bool names(int dir_fd, const char* name, FileId id) {
    struct stat st;
    return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

}  // namespace

bool names_file(int dir_fd, const char* name, int fd) {
    auto id = file_id(fd);
    return id && names(dir_fd, name, *id);
}

bool unlink_if_same(int dir_fd, const char* name, FileId id) {
    return names(dir_fd, name, id) && ::unlinkat(dir_fd, name, 0) == 0;
}

Result<UniqueFd, int> create_afresh(int dir_fd, const char* name, int flags, mode_t mode) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        UniqueFd fd(::openat(dir_fd, name, flags | kCreateFlags, mode));
        if (fd.valid()) return fd;
        if (errno != EEXIST) return errno;
        struct stat st;
        if (int err = kind_of(dir_fd, name, st); err != 0) {
            if (err == ENOENT) continue;
            return err;
        }
        // Unlinking drops the name only: a file that it is a link of, or a
        // process that has it open, keeps its bytes.
        if (::unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT) return errno;
    }
    return EEXIST;
}

Result<UniqueFd, int> create_held(int dir_fd, const char* name, int flags, mode_t mode) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        UniqueFd fd(::openat(dir_fd, name, flags | kCreateFlags, mode));
        if (fd.valid()) {
            // Between creating and locking, another run may have taken the
            // new file for a stale one and removed it: then try again.
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && names_file(dir_fd, name, fd.get())) return fd;
            continue;
        }
        if (errno != EEXIST) return errno;
        struct stat st;
        if (int err = kind_of(dir_fd, name, st); err != 0) {
            if (err == ENOENT) continue;
            return err;
        }
        UniqueFd old(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!old.valid()) {
            if (errno == ENOENT) continue;
            return errno;
        }
        if (::fstat(old.get(), &st) != 0) return errno;
        if (!S_ISREG(st.st_mode)) return ENXIO;
        if (::flock(old.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
        // Held now, so the name cannot change hands until it is removed:
        // only a holder removes or renames a held file.
        if (!names_file(dir_fd, name, old.get())) continue;
        if (::unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT) return errno;
    }
    return EBUSY;
}

Status<> write_all(int fd, const uint8_t* data, size_t size) {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= size_t(n);
        } else if (n == 0) {
            return Error{"failed to write the buffered data"};
        } else if (errno != EINTR) {
            return os_error(errno);
        }
    }
    return {};
}

Result<Destination> destination_in(int dir_fd, const char* name) {
    struct stat st;
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Destination::Renamed;
    if (S_ISREG(st.st_mode)) return Destination::Renamed;
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return Destination::Direct;
    return Error{kNotRegularFile};
}

Result<Destination> destination_of(const std::string& path) {
    if (path == "-") return Destination::StandardOutput;
    return destination_in(AT_FDCWD, path.c_str());
}

namespace {

// The device or FIFO at the name, open for writing; anything else there by
// now (the name changed hands) is refused rather than written through.
Result<UniqueFd> open_direct(int dir_fd, const char* name) {
    UniqueFd fd(::openat(dir_fd, name, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) return os_error(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(errno);
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) return Error{kNotRegularFile};
    return fd;
}

Status<> closed(UniqueFd fd) {
    if (::close(fd.release()) != 0 && errno != EINTR) return os_error(errno);
    return {};
}

}  // namespace

Status<> write_renamed(int dir_fd, const std::string& name, const std::function<Status<>(int fd)>& write,
                       std::optional<FileId>* placed) {
    auto destination = destination_in(dir_fd, name.c_str());
    if (!destination) return std::move(destination).error();
    if (*destination == Destination::Direct) {
        auto fd = open_direct(dir_fd, name.c_str());
        if (!fd) return std::move(fd).error();
        if (auto written = write(fd->get()); !written) return written;
        return closed(std::move(fd).value());
    }
    const std::string temporary = "." + name + ".tmp";
    auto fd = create_held(dir_fd, temporary.c_str(), O_WRONLY);
    if (!fd) return fd.error() == EBUSY ? Error{"another run is writing " + temporary} : os_error(fd.error());
    const std::optional<FileId> id = file_id(fd->get());
    Status<> status = write(fd->get());
    // Held until placed: a device or FIFO put at the name meanwhile gets a copy.
    if (status) status = place_file(dir_fd, temporary, name);
    if (!status) {
        if (id) unlink_if_same(dir_fd, temporary.c_str(), *id);
        return status;
    }
    if (placed) *placed = id;
    return closed(std::move(fd).value());
}

Status<> write_to_path(const std::string& path, const std::function<Status<>(int fd)>& write) {
    if (path == "-") return write(STDOUT_FILENO);
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return os_error(EISDIR);
    const UniqueFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
        Error e = os_error(errno);
        e.path = folder;
        return e;
    }
    return write_renamed(dir.get(), name, write);
}

Status<> place_file(int dir_fd, const std::string& temporary, const std::string& name) {
    // Nothing at the name yet, as in a fresh folder, saves looking at it.
    if (::renameat2(dir_fd, temporary.c_str(), dir_fd, name.c_str(), RENAME_NOREPLACE) == 0) return {};
    auto destination = destination_in(dir_fd, name.c_str());
    if (!destination) return std::move(destination).error();
    if (*destination == Destination::Renamed) {
        if (::renameat(dir_fd, temporary.c_str(), dir_fd, name.c_str()) != 0) return os_error(errno);
        return {};
    }
    UniqueFd from(::openat(dir_fd, temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!from.valid()) return os_error(errno);
    auto to = open_direct(dir_fd, name.c_str());
    if (!to) return std::move(to).error();
    if (auto st = copy_file(from.get(), to->get()); !st) return st;
    if (auto st = closed(std::move(to).value()); !st) return st;
    if (auto id = file_id(from.get())) unlink_if_same(dir_fd, temporary.c_str(), *id);
    return {};
}

std::string temporary_folder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

Result<UniqueFd, int> unnamed_temporary_file(mode_t mode) {
    UniqueFd fd(::open(temporary_folder().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (!fd.valid()) return errno;
    return fd;
}

Status<> copy_file(int from, int to) {
    std::vector<uint8_t> buffer(256 * 1024);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(from, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return os_error(errno);
        if (n == 0) return {};
        if (auto st = write_all(to, buffer.data(), size_t(n)); !st) return st;
        at += n;
    }
}

std::optional<std::string> output_among_inputs(const std::string& output, const std::vector<std::string>& inputs) {
    struct stat out;
    if (output == "-" || ::stat(output.c_str(), &out) != 0) return std::nullopt;
    for (const std::string& input : inputs) {
        struct stat in;
        if (input != "-" && ::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            return "output " + output + " is the input " + input;
    }
    return std::nullopt;
}

}  // namespace flowsieve
