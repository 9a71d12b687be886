// Bounded first-in, first-out queue of packets between one producer and one
// consumer. The producer fills free slots in place and hands them over a
// batch at a time; each side wakes the other only on the transitions that
// matter: the consumer when a batch is ready (or the producer is done), the
// producer when a full queue gets room. Handing over or waking per packet
// would cost a lock, and often a pair of system calls, for every few packets.
// The consumer works through every ready packet in place and frees their
// slots together, so each side takes the lock about once per batch while no
// more than the capacity is ever in transit.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "flow/strategy.hpp"
#include "packet/packet.hpp"

namespace flowsieve {

// A packet with the flow keys it is written to and the number of each key's
// flow, worked out on the reading thread or as the consumer takes it. Flows
// are numbered 0, 1, 2, ... in order of first sight. Packets the filters drop cross only as counts, in
// the next entry: one without keys stands for dropped packets alone, and its
// packet is not set.
struct QueuedPacket {
    // keys.count of a packet that the consumer's side is still to key.
    static constexpr uint8_t kKeysPending = UINT8_MAX;

    ParsedPacket packet;
    FlowKeys keys;
    uint32_t flows[2];
    // The packets read from the capture that the entry accounts for, and
    // their captured bytes, for progress.
    uint32_t read_packets;
    uint64_t read_bytes;
};

class PacketQueue {
public:
    // The capacity is a power of two; the consumer waits for `batch`
    // packets, at most the capacity.
    PacketQueue(size_t capacity, size_t batch) : ring_(capacity), mask_(capacity - 1), batch_(batch) {}

    // The slot for the next packet, which the producer fills and then
    // pushes; waits while the queue is full. Nothing once the consumer is
    // gone.
    QueuedPacket* next_slot() {
        if (room_ == 0 && !wait_for_room()) return nullptr;
        return &ring_[tail_];
    }
    // Adds the filled slot; packets reach the consumer a batch at a time.
    void push() {
        tail_ = (tail_ + 1) & mask_;
        --room_;
        if (++unpublished_ == batch_) {
            std::lock_guard lock(mutex_);
            publish();
            if (receiver_gone_) room_ = 0;  // so that next_slot stops
        }
    }

    // Waits while the queue is open and holds less than a batch; returns how
    // many packets are ready at the front, 0 once it is closed and drained.
    // The producer never touches those slots until pop_front frees them.
    size_t wait_front() {
        std::unique_lock lock(mutex_);
        while (count_ < batch_ && !sender_closed_ && !handed_over_) not_empty_.wait(lock);
        handed_over_ = false;
        return count_;
    }

    // Whether wait_front would return at once.
    bool front_ready() {
        std::lock_guard lock(mutex_);
        return count_ >= batch_ || sender_closed_ || handed_over_;
    }

    // The i-th ready packet, i below what wait_front returned; the consumer's
    // until pop_front.
    QueuedPacket& front(size_t i) { return ring_[(head_ + i) & mask_]; }

    // Frees the slots of the first n ready packets. Their frames are
    // borrowed, so a slot holds nothing to release until it is filled again.
    void pop_front(size_t n) {
        std::lock_guard lock(mutex_);
        bool was_full = count_ == ring_.size();
        head_ = (head_ + n) & mask_;
        count_ -= n;
        if (was_full) not_full_.notify_one();
    }

    // Hands the pushed packets over now, however few, and wakes the consumer:
    // for entries that stand for many packets read, so that the consumer
    // hears of the reading often enough.
    void hand_over() {
        std::lock_guard lock(mutex_);
        publish();
        handed_over_ = true;
        not_empty_.notify_one();
        if (receiver_gone_) room_ = 0;  // so that next_slot stops
    }

    void close_sender() {
        std::lock_guard lock(mutex_);
        publish();
        sender_closed_ = true;
        not_empty_.notify_one();
    }

    void close_receiver() {
        std::lock_guard lock(mutex_);
        receiver_gone_ = true;
        not_full_.notify_one();
    }

private:
    // With the lock held: the pushed packets become the consumer's.
    void publish() {
        const bool was_short = count_ < batch_;
        count_ += unpublished_;
        unpublished_ = 0;
        if (was_short && count_ >= batch_) not_empty_.notify_one();
    }
    bool wait_for_room() {
        std::unique_lock lock(mutex_);
        publish();
        while (count_ == ring_.size() && !receiver_gone_) not_full_.wait(lock);
        room_ = ring_.size() - count_;
        return !receiver_gone_;
    }

    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    std::vector<QueuedPacket> ring_;
    const size_t mask_;
    const size_t batch_;
    size_t head_ = 0;  // written by the consumer only
    size_t count_ = 0;  // packets handed over, not yet freed
    // The producer's own: the next slot to fill, the slots known to be free
    // from there, and the pushed packets not yet handed over.
    size_t tail_ = 0;
    size_t room_ = 0;
    size_t unpublished_ = 0;
    bool sender_closed_ = false;
    bool receiver_gone_ = false;
    bool handed_over_ = false;  // wait_front returns whatever is there
};

}  // namespace flowsieve
