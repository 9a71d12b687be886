// The flowsieve command: split a capture, build an archive, list and export
// its flows. Exit status: 0 success, 1 failure, 2 usage error, 128 + the
// signal number when interrupted.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

#include "cli/command.hpp"
#include "util/growing_mapping.hpp"
#include "util/os_error.hpp"

namespace flowsieve::cli {
namespace {

const char* const kMainHelp = R"(Usage: flowsieve COMMAND ARGS...

Groups the packets of a pcap or pcapng capture into flows and writes one
file per flow, stores all flows in one indexed .fsieve archive, or writes
them as arrays for NumPy.

Commands:
  split CAPTURE OUTDIR       write each flow to a file of its own
  archive CAPTURE OUT        build a .fsieve archive of the capture's flows
  flows ARCHIVE...           list the flows of archives (or folders of them)
  export ARCHIVE... -o DIR   write flows of archives as pcap files
  arrays INPUT... -o OUT.npz write flows of captures or archives as arrays
  capture SOURCE STORE_DIR   capture from interfaces or a stream into a
                             folder of archives, rotated and retained

CAPTURE is a capture file, or - for standard input; ARCHIVE an archive
file, or a folder standing for the *.fsieve files in it.
Run 'flowsieve COMMAND --help' for a command's options.

Every command takes --ip and --port: repeated, they keep what is from or to
any of the values given; --between and --between-port keep what has all of
them as its endpoints (--between A --between B: between A and B).

Options:
  -h, --help      show this help
  -V, --version   show the version

Exit status: 0 success, 1 failure, 2 usage error, 130 interrupted (Ctrl-C;
128 + the signal number in general).
)";

const Command* const kCommands[] = {&kSplitCommand, &kArchiveCommand, &kFlowsCommand, &kExportCommand, &kArraysCommand,
                                    &kCaptureCommand};

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kMainHelp, stderr);
        return kUsage;
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        std::fputs(kMainHelp, stdout);
        return 0;
    }
    if (first == "-V" || first == "--version") {
        std::printf("flowsieve %s\n", FLOWSIEVE_VERSION);
        return 0;
    }
    for (const Command* command : kCommands) {
        if (first != command->name) continue;
        try {
            Parsed parsed;
            if (!parse(*command, argc - 1, argv + 1, parsed)) return 0;
            if (command->interruptible) install_interrupt_handlers();
            return command->run(parsed);
        } catch (const UsageError& e) {
            message(e.message);
            std::fprintf(stderr, "Try 'flowsieve %s --help' for more information.\n", command->name);
            return kUsage;
        }
    }
    message(first[0] == '-' ? "unknown option '" + first + "'" : "unknown command '" + first + "'");
    std::fputs("Try 'flowsieve --help' for more information.\n", stderr);
    return kUsage;
}

}  // namespace
}  // namespace flowsieve::cli

int main(int argc, char** argv) {
    // A reader that goes away ends the command quietly, as it ends other
    // tools, whatever the parent left the disposition and mask at.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::sigprocmask(SIG_UNBLOCK, &pipe_signal, nullptr);
    int status;
    try {
        status = flowsieve::cli::run(argc, argv);
    } catch (const flowsieve::CallError& e) {
        flowsieve::cli::message(flowsieve::cli::describe(e));
        status = flowsieve::cli::kFailure;
    } catch (const flowsieve::AllocationRefused& e) {
        flowsieve::cli::message(e.what());
        status = flowsieve::cli::kFailure;
    } catch (const std::bad_alloc&) {
        flowsieve::cli::message("out of memory");
        status = flowsieve::cli::kFailure;
    } catch (const std::exception& e) {
        flowsieve::cli::message(e.what());
        status = flowsieve::cli::kFailure;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (errno == EPIPE) return status;
        if (status == 0) {
            flowsieve::cli::message(std::string("standard output: ") + flowsieve::os_error_text(errno));
            status = flowsieve::cli::kFailure;
        }
    }
    return status;
}
