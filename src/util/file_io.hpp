// Writing whole buffers to a descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// The one rule for where a named output goes. A character device or FIFO
// is written directly, as tcpdump -w writes it, since there is no file to
// replace (-o /dev/null times a run, a FIFO feeds its reader); a symlink,
// socket, block device or folder is refused (kNotRegularFile), so that no
// rename replaces it and nothing is written through it; a regular file, or
// nothing, is written under a temporary name and renamed over it. "-" is
// standard output, where the caller writes a single file.
enum class Destination { StandardOutput, Direct, Renamed };
inline constexpr const char* kNotRegularFile = "Not a regular file";
// What the rule makes of the name in the folder, not followed.
Result<Destination> destination_in(int dir_fd, const char* name);
// Of a path, where "-" is standard output.
Result<Destination> destination_of(const std::string& path);

// Writes the file `name` of the folder by the destination rule: a device or
// FIFO there directly (a FIFO's open waits for its reader: EINTR when a
// signal ends the wait); otherwise under a hidden temporary name
// (.NAME.tmp), renamed once `write` succeeded. The temporary file is held
// (create_held) until renamed, so that a run beside this one into the same
// folder neither writes through it nor takes it for a stale file. On
// failure nothing of this run is left, and nothing of another's is touched.
// `placed`, when given, gets the identity of a file renamed into place.
Status<> write_renamed(int dir_fd, const std::string& name, const std::function<Status<>(int fd)>& write,
                       std::optional<FileId>* placed = nullptr);
// A file at a path by the destination rule: "-" is standard output, and the
// rest is written by write_renamed in the path's folder (the current one
// without a slash). A path without a file name is EISDIR; a folder that does
// not open is the error's path.
Status<> write_to_path(const std::string& path, const std::function<Status<>(int fd)>& write);

// Puts the finished file `temporary` of the folder at `name` by the
// destination rule: renamed over a regular file or nothing, copied into a
// device or FIFO (and then removed).
Status<> place_file(int dir_fd, const std::string& temporary, const std::string& name);

// An unnamed file in $TMPDIR (or /tmp), open for reading and writing, for
// an output built with seeks whose destination cannot seek or has no folder
// of its own (standard output, /dev): it is gone once closed.
Result<UniqueFd, int> unnamed_temporary_file(mode_t mode);
std::string temporary_folder();

// Copies the file `from`, from its start, to `to`.
Status<> copy_file(int from, int to);

// The refusal of an output that is one of the inputs (the same device and
// inode), since writing it destroys what is read: "output OUT is the input
// IN". Standard input and output ("-") are not compared.
std::optional<std::string> output_among_inputs(const std::string& output, const std::vector<std::string>& inputs);

// Writes all bytes, retrying short writes and EINTR.
Status<> write_all(int fd, const uint8_t* data, size_t size);

}  // namespace flowsieve
