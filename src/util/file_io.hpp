// Writing whole buffers to a descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/result.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve {

// Opens a file for writing (flags added to O_WRONLY) without blocking and
// without following a symlink; anything but a regular file there is refused
// with ENXIO, so that a FIFO planted at the name cannot hold the caller.
// The error is the errno value.
Result<UniqueFd, int> open_regular_for_writing(int dir_fd, const char* path, int flags);

// Creates the file `name` afresh for writing (flags added to O_WRONLY or
// O_RDWR): exclusively, without following a symlink, never through a file
// already there. A regular file that is there is removed first; anything
// else there is refused: ELOOP for a symlink, ENXIO otherwise.
Result<UniqueFd, int> create_afresh(int dir_fd, const char* name, int flags, mode_t mode = 0666);

// Creates `name` afresh as create_afresh does and takes an exclusive flock
// on it, which lasts as long as the descriptor is open: a run that holds
// the file announces that it is writing it. A regular file already there
// is removed only when no one holds it, as a run that ended (or crashed)
// left it; one that someone holds fails with EBUSY.
Result<UniqueFd, int> create_held(int dir_fd, const char* name, int flags, mode_t mode = 0666);

// Whether the name (not followed) holds what a rename onto it must not
// replace: a symlink, device, FIFO or socket. Nothing, a regular file or a
// directory (onto which a rename fails by itself) is not such a file.
bool names_special_file(int dir_fd, const char* name);

// A file's identity: its device and inode.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
};
std::optional<FileId> file_id(int fd);

// Whether the name in the directory (not following a symlink) is the open file.
bool names_file(int dir_fd, const char* name, int fd);
// Removes the name while it still is the file; whether it did.
bool unlink_if_same(int dir_fd, const char* name, FileId id);

// Writes the file `name` of the folder under a hidden temporary name
// (.NAME.tmp), then renames it once `write` succeeded; never over a
// symlink, device or FIFO ("Not a regular file"). The temporary file is
// held (create_held) until renamed, so that a run beside this one into the
// same folder neither writes through it nor takes it for a stale file. On
// failure nothing of this run is left, and nothing of another's is
// touched.
Status<> write_renamed(int dir_fd, const std::string& name, const std::function<Status<>(int fd)>& write);
// A file at a path: a character device or FIFO there is written directly,
// as tcpdump -w writes it, since there is no file to replace (a FIFO's
// open waits for its reader: EINTR when a signal ends the wait); anything
// else by write_renamed in the path's folder (the current one without a
// slash). A path without a file name is EISDIR; a folder that does not
// open is the error's path.
Status<> write_to_path(const std::string& path, const std::function<Status<>(int fd)>& write);

// Writes all bytes, retrying short writes and EINTR.
Status<> write_all(int fd, const uint8_t* data, size_t size);

}  // namespace flowsieve
