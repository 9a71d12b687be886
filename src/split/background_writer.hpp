// Writes full buffers out and closes files on a thread of its own, in the
// order they were handed over, so that the kernel's copying into the files
// runs beside the caller filling the next buffers; when no thread can
// start, each job is done at once on the caller's. The bytes a buffer lends
// must stay valid until `wait` returns or the writer is gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "util/result.hpp"
#include "util/unique_fd.hpp"
#include "util/write_buffer.hpp"

namespace flowsieve {

class BackgroundWriter {
public:
    // Buffers of `buffer_bytes` take the place of those handed over; only a
    // few are in flight at once, which bounds the memory held.
    explicit BackgroundWriter(size_t buffer_bytes);
    // Does every job handed over, then stops.
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    // Queues the buffer's bytes for the file and leaves an empty buffer in
    // its place; waits while every spare buffer is in flight. The
    // descriptor stays open until a later `close` of it is done.
    // Each returns the first failure of a job so far, if any.
    Status<> write(int fd, WriteBuffer& buffer) { return submit(fd, UniqueFd(), &buffer, nullptr, 0); }
    // Queues a piece lent whole, one too large for any buffer.
    Status<> write_lent(int fd, const uint8_t* data, size_t size);
    // Queues the buffer's bytes, then the closing of the file.
    Status<> close(UniqueFd fd, WriteBuffer& buffer);
    // Returns once every job handed over is done: every write made, every
    // file closed.
    Status<> wait();

    // Jobs handed over so far; each job is numbered by this count after it.
    uint64_t jobs() const { return submitted_; }
    // Whether the job numbered `job`, and so every job before it, is done.
    bool done_through(uint64_t job) const { return completed_.load(std::memory_order_acquire) >= job; }
    // Whether the thread has a backlog: then the caller does better to
    // write what it may write itself.
    bool behind() const { return submitted_ - completed_.load(std::memory_order_relaxed) >= kBacklog; }

private:
    // The thread sleeps until this many jobs wait, and has a backlog at
    // three times as many: then it is busy and still behind.
    static constexpr uint64_t kWakeBatch = 16;
    static constexpr uint64_t kBacklog = 3 * kWakeBatch;
    struct Job {
        int fd;
        UniqueFd owned;                       // closed after the writes
        std::unique_ptr<WriteBuffer> buffer;  // none when empty
        const uint8_t* lent;
        size_t lent_size;
    };

    Status<> submit(int fd, UniqueFd owned, WriteBuffer* buffer, const uint8_t* lent, size_t lent_size);
    void run();

    const size_t buffer_bytes_;
    const size_t max_in_flight_;
    std::mutex mutex_;
    std::condition_variable work_;  // for the thread: a job came, or the end
    std::condition_variable done_;  // for the caller: a job is done
    std::deque<Job> jobs_;
    std::vector<std::unique_ptr<WriteBuffer>> spares_;
    size_t in_flight_ = 0;  // buffers handed over and not yet back
    bool busy_ = false;     // the thread is doing a job
    bool idle_ = false;     // the thread sleeps
    bool waiting_ = false;  // the caller sleeps
    bool stop_ = false;
    Status<> failure_;  // the first
    uint64_t submitted_ = 0;  // by the caller's thread only
    std::atomic<uint64_t> completed_ = 0;
    std::thread thread_;
};

}  // namespace flowsieve
