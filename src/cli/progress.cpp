#include "cli/progress.hpp"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace flowsieve::cli {
namespace {

volatile sig_atomic_t received_signal = 0;

void on_signal(int signo) { received_signal = signo; }

std::string format(const char* fmt, auto... args) {
    char text[64];
    int n = std::snprintf(text, sizeof text, fmt, args...);
    return std::string(text, n < 0 ? 0 : std::min<size_t>(size_t(n), sizeof text - 1));
}

// Decimal units, as in "MB/s".
std::string bytes_text(double bytes) {
    static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB"};
    size_t unit = 0;
    while (bytes >= 1000 && unit + 1 < std::size(kUnits)) bytes /= 1000, ++unit;
    return unit == 0 ? format("%.0f %s", bytes, kUnits[0]) : format("%.1f %s", bytes, kUnits[unit]);
}

std::string duration_text(double seconds) {
    const uint64_t s = uint64_t(seconds);
    if (s >= 3600) return format("%llu:%02llu:%02llu", (unsigned long long)(s / 3600),
                                 (unsigned long long)(s / 60 % 60), (unsigned long long)(s % 60));
    return format("%llu:%02llu", (unsigned long long)(s / 60), (unsigned long long)(s % 60));
}

void write_stderr(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left) {
        ssize_t n = ::write(2, p, left);
        if (n > 0) p += n, left -= size_t(n);
        else if (n < 0 && errno == EINTR) continue;
        else return;  // the display is best effort
    }
}

size_t terminal_width() {
    struct winsize ws;
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col;
    return 80;
}

}  // namespace

void install_interrupt_handlers() {
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int interrupt_signal() { return received_signal; }

ProgressDisplay::ProgressDisplay(bool enabled, bool total_known) : enabled_(enabled), total_known_(total_known) {}

bool ProgressDisplay::keep_going(const Progress& progress) {
    if (received_signal) return false;
    last_ = progress;
    if (!enabled_) return true;
    const Clock::time_point now = Clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return true;
    last_draw_ = now;
    draw();
    return true;
}

void ProgressDisplay::draw() {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = elapsed > 0 ? double(last_.bytes_read) / elapsed : 0;
    std::string line = bytes_text(double(last_.bytes_read));
    if (total_known_) {
        const uint64_t total = last_.input_size;
        const double percent = total ? 100.0 * double(last_.bytes_read) / double(total) : 100.0;
        line += " of " + bytes_text(double(total)) + format("  %3.0f%%", percent);
    }
    line += "  " + bytes_text(rate) + "/s";
    line += format("  %llu flows", (unsigned long long)last_.flows);
    line += "  " + duration_text(elapsed) + " elapsed";
    if (total_known_ && rate > 0 && last_.input_size >= last_.bytes_read)
        line += "  " + duration_text(double(last_.input_size - last_.bytes_read) / rate) + " left";
    put(line, false);
}

void ProgressDisplay::put(const std::string& line, bool final) {
    // Longer than the terminal, the line would wrap and "\r" would no
    // longer return to its start.
    const size_t width = final ? line.size() : terminal_width() - 1;
    std::string text = "\r" + line.substr(0, width) + "\x1b[K";
    if (final) text += "\n";
    write_stderr(text);
    drawn_ = !final;
}

void ProgressDisplay::summary(uint64_t files) {
    if (!enabled_) return;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    auto counted = [](uint64_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    put(counted(last_.packets, "packet", "packets") + ", " + counted(last_.flows, "flow", "flows") + ", " +
            counted(files, "file", "files") + format(" in %.2f s", elapsed),
        true);
}

void ProgressDisplay::clear() {
    if (!enabled_ || !drawn_) return;
    write_stderr("\r\x1b[K");
    drawn_ = false;
}

}  // namespace flowsieve::cli
