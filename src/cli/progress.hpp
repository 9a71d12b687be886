// Interrupt handling and the progress line of the command's long operations.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "util/progress.hpp"

namespace flowsieve::cli {

// SIGINT and SIGTERM set a flag instead of ending the process, so that the
// running operation stops at its next progress report and leaves only its
// temporary files. A second signal ends the process at once.
void install_interrupt_handlers();
// The signal number received, or 0.
int interrupt_signal();

// Stops the operation once a signal has arrived and, when enabled, redraws
// one status line on standard error at most ten times a second: bytes read,
// percent, rate, flows, elapsed time and the time left (no total, percent or
// time left for standard input, whose size is not known up front).
class ProgressDisplay final : public ProgressObserver {
public:
    ProgressDisplay(bool enabled, bool total_known);
    bool keep_going(const Progress& progress) override;
    // Replaces the status line with the one-line summary.
    void summary(uint64_t files);
    // Erases the status line, before a message.
    void clear();
    const Progress& last() const { return last_; }
    bool enabled() const { return enabled_; }

private:
    void draw();
    void put(const std::string& line, bool final);

    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool total_known_;
    bool drawn_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_draw_{};
    Progress last_;
};

}  // namespace flowsieve::cli
