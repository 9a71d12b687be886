#include "util/shared_bytes.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "util/mapping.hpp"
#include "util/os_error.hpp"
#include "util/unique_fd.hpp"

namespace flowsieve {
namespace {

Result<SharedBytes, CallError> read_stdin(ProgressObserver* observer, bool (*recognised)(ByteView)) {
    constexpr size_t kStartSize = 4;
    auto block = std::make_shared<std::vector<uint8_t>>();
    size_t used = 0;
    size_t next_report = ProgressClock::kBytes;
    for (;;) {
        if (observer && used >= next_report) {
            next_report = used + ProgressClock::kBytes;
            if (!observer->keep_going({used, 0, 0, 0})) return CallError::interrupted();
        }
        if (block->size() - used < 65536) block->resize(block->size() + std::max<size_t>(65536, block->size()));
        ssize_t n = ::read(0, block->data() + used, block->size() - used);
        if (n > 0) {
            const bool had_start = used >= kStartSize;
            used += size_t(n);
            // Whatever follows an unknown start would be read in vain, and
            // may not end (/dev/zero).
            if (recognised && !had_start && used >= kStartSize && !recognised(ByteView(block->data(), kStartSize)))
                break;
        } else if (n == 0) {
            break;
        } else if (errno == EINTR) {
            // A signal: the observer decides whether it ends the read.
            if (observer && !observer->keep_going({used, 0, 0, 0})) return CallError::interrupted();
        } else if (errno == EBADF) {  // descriptor 0 closed: empty input
            break;
        } else {
            return CallError::io(os_error(errno), "-");
        }
    }
    block->resize(used);
    block->shrink_to_fit();
    const uint8_t* data = block->data();
    return SharedBytes(std::move(block), data, used);
}

Result<SharedBytes> map_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return Error{kNulInPath};

    // Not blocking: a FIFO without a writer must fail at once (it cannot be
    // mapped), not hold the caller until a writer comes.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return os_error(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return os_error(errno);
    // Mapping a directory fails as "No such device": say what it is.
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    size_t size = size_t(st.st_size);
    // An empty file is mapped with length 1 so that the mapping is valid.
    size_t length = size ? size : 1;
    void* addr = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) return os_error(errno);
    ::madvise(addr, length, MADV_SEQUENTIAL);  // a hint only; failure is harmless
    // Unmapped when the last SharedBytes over it goes.
    auto mapping = std::make_shared<const Mapping>(addr, length);
    return SharedBytes(std::move(mapping), static_cast<const uint8_t*>(addr), size);
}

}  // namespace

Result<SharedBytes, CallError> map_input(const std::string& path, ProgressObserver* observer,
                                         bool (*recognised)(ByteView)) {
    if (path == "-") return read_stdin(observer, recognised);
    auto mapped = map_file(path);
    if (!mapped) return CallError::io(std::move(mapped).error(), path);
    return std::move(mapped).value();
}

}  // namespace flowsieve
