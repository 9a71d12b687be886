#include "split/background_writer.hpp"

#include <algorithm>
#include <new>
#include <system_error>

#include "util/file_io.hpp"

namespace flowsieve {
namespace {

// Enough buffers in flight that the caller seldom waits for one, and few
// enough that large buffers hold little memory.
constexpr size_t kInFlightBytes = size_t(4) << 20;
constexpr size_t kMaxInFlight = 64;

// A job's work: the buffer's bytes, then the lent piece, then the file closed.
Status<> perform(int fd, WriteBuffer* buffer, const uint8_t* lent, size_t lent_size, UniqueFd& owned) {
    Status<> status;
    try {  // the message of a failure takes memory
        if (buffer) status = buffer->flush(fd);  // empties the buffer, even on failure
        if (lent_size && status) status = write_all(fd, lent, lent_size);
    } catch (const std::bad_alloc&) {
        if (buffer) buffer->clear();
        status = Error{"out of memory"};  // short enough to need no allocation
    }
    owned.reset();
    return status;
}

}  // namespace

BackgroundWriter::BackgroundWriter(size_t buffer_bytes)
    : buffer_bytes_(buffer_bytes),
      max_in_flight_(std::clamp<size_t>(kInFlightBytes / std::max<size_t>(buffer_bytes, 1), 2, kMaxInFlight)) {
    spares_.reserve(max_in_flight_);  // the thread gives buffers back without allocating
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }  // then each job is done at once, on the caller's thread
}

BackgroundWriter::~BackgroundWriter() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_one();
    thread_.join();
}

Status<> BackgroundWriter::write_lent(int fd, const uint8_t* data, size_t size) {
    return submit(fd, UniqueFd(), nullptr, data, size);
}

Status<> BackgroundWriter::close(UniqueFd fd, WriteBuffer& buffer) {
    const int raw = fd.get();
    return submit(raw, std::move(fd), &buffer, nullptr, 0);
}

Status<> BackgroundWriter::submit(int fd, UniqueFd owned, WriteBuffer* buffer, const uint8_t* lent, size_t lent_size) {
    if (!thread_.joinable()) {
        Status<> status = perform(fd, buffer, lent, lent_size, owned);
        if (!status && failure_) failure_ = std::move(status);
        return failure_;
    }
    std::unique_lock lock(mutex_);
    std::unique_ptr<WriteBuffer> bytes;
    if (buffer && buffer->size()) {
        if (in_flight_ >= max_in_flight_) {
            waiting_ = true;
            if (idle_) work_.notify_one();
            done_.wait(lock, [&] { return in_flight_ <= max_in_flight_ / 2; });
            waiting_ = false;
        }
        if (spares_.empty()) {
            bytes = std::make_unique<WriteBuffer>(buffer_bytes_);
        } else {
            bytes = std::move(spares_.back());
            spares_.pop_back();
        }
        std::swap(*bytes, *buffer);
        ++in_flight_;
    }
    if (bytes || owned.valid() || lent_size) {
        jobs_.push_back({fd, std::move(owned), std::move(bytes), lent, lent_size});
        ++submitted_;
    }
    // A wake-up costs about as much as a write: the thread is woken for a
    // backlog, and the caller, waiting for spare buffers, once half are back.
    if (idle_ && jobs_.size() >= kWakeBatch) work_.notify_one();
    return failure_;
}

Status<> BackgroundWriter::wait() {
    std::unique_lock lock(mutex_);
    waiting_ = true;
    if (idle_) work_.notify_one();
    done_.wait(lock, [&] { return jobs_.empty() && !busy_; });
    waiting_ = false;
    return failure_;
}

void BackgroundWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (jobs_.empty()) {
            if (stop_) return;
            idle_ = true;
            work_.wait(lock, [&] { return !jobs_.empty() || stop_; });
            idle_ = false;
            continue;
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        Status<> status = perform(job.fd, job.buffer.get(), job.lent, job.lent_size, job.owned);
        completed_.fetch_add(1, std::memory_order_release);
        lock.lock();
        busy_ = false;
        if (job.buffer) {
            spares_.push_back(std::move(job.buffer));
            --in_flight_;
        }
        if (!status && failure_) failure_ = std::move(status);
        if (waiting_ && (in_flight_ <= max_in_flight_ / 2 || jobs_.empty())) done_.notify_one();
    }
}

}  // namespace flowsieve
