#include "reporter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

namespace torture {
namespace {

constexpr int kReportsPerInvariant = 3;

}  // namespace

Reporter::Reporter(const Options& options, Board& board, std::string work_dir, std::string process)
    : options_(options),
      board_(board),
      work_dir_(std::move(work_dir)),
      process_(std::move(process)) {}

void Reporter::add_log(const CallLog* log) {
    std::lock_guard lock(mutex_);
    logs_.push_back(log);
}

void Reporter::violation(const std::string& invariant, const std::string& detail,
                         const CallLog* where, int exit_code) {
    std::lock_guard lock(mutex_);
    board_.violations.fetch_add(1);
    // One line per violation, for the summary's count of each invariant.
    const std::string line = invariant + "\n";
    const int tally =
        ::open((work_dir_ + "/tally").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (tally >= 0) {
        (void)!::write(tally, line.data(), line.size());
        ::close(tally);
    }
    if (++seen_[invariant] > kReportsPerInvariant && exit_code != kExitHang)
        return;
    std::string text = "VIOLATION: " + invariant + "\n  in " + process_;
    if (where != nullptr)
        text += ", " + where->label();
    text += "\n  " + detail + "\n  seed " + std::to_string(options_.seed) +
            "; run it again with: " + options_.rerun_command() + "\n";
    if (where != nullptr)
        text += "  the calls of " + where->label() + " (oldest first):\n" + where->dump();
    for (const CallLog* log : logs_) {
        if (log != where)
            text += "  the calls of " + log->label() + ":\n" + log->dump();
    }
    // One file per report, renamed into place whole, for the supervisor to print.
    const std::string name =
        work_dir_ + "/violation-" + std::to_string(::getpid()) + "-" + std::to_string(written_++);
    const std::string partial = name + ".partial";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        ::rename(partial.c_str(), (name + ".txt").c_str());
    } else {
        std::fputs(text.c_str(), stderr);
    }
    if (!options_.keep_going || exit_code == kExitHang)
        ::_exit(exit_code);
}

}  // namespace torture
