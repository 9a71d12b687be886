// Bounded first-in, first-out queue of packets between one producer and one
// consumer. Each side wakes the other only on the transitions that matter
// (empty to non-empty, full to non-full), and the consumer takes every
// queued packet at once, so the lock is taken about once per batch.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "packet/packet.hpp"

namespace flowsieve {

class PacketQueue {
public:
    explicit PacketQueue(size_t capacity) : ring_(capacity) {}

    // Waits while full. False when the consumer is gone; the packet is dropped.
    bool push(ParsedPacket&& packet) {
        std::unique_lock lock(mutex_);
        while (count_ == ring_.size() && !receiver_gone_) not_full_.wait(lock);
        if (receiver_gone_) return false;
        ring_[(head_ + count_) % ring_.size()] = std::move(packet);
        if (count_++ == 0) not_empty_.notify_one();
        return true;
    }

    // Moves every queued packet into `out` (emptied first), waiting while the
    // queue is empty and open. An empty `out` means closed and drained.
    void pop_all(std::vector<ParsedPacket>& out) {
        out.clear();
        std::unique_lock lock(mutex_);
        while (count_ == 0 && !sender_closed_) not_empty_.wait(lock);
        bool was_full = count_ == ring_.size();
        for (; count_; --count_) {
            out.push_back(std::move(ring_[head_]));
            head_ = (head_ + 1) % ring_.size();
        }
        if (was_full) not_full_.notify_one();
    }

    void close_sender() {
        std::lock_guard lock(mutex_);
        sender_closed_ = true;
        not_empty_.notify_one();
    }

    void close_receiver() {
        std::lock_guard lock(mutex_);
        receiver_gone_ = true;
        not_full_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    std::vector<ParsedPacket> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool sender_closed_ = false;
    bool receiver_gone_ = false;
};

}  // namespace flowsieve
