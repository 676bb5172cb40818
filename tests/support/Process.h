#pragma once

// A program run as its own process, its standard output read line by line
// while it runs, for tests that talk to a running program.

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testprocess {

/// Resident memory once the allocator has handed its free pages back: what
/// is still in use, not the high-water mark.
inline long residentKilobytes() {
    ::malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

/// What a shell command printed, its errors included.
inline std::string shellOutput(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe) ::pclose(pipe);
    return out;
}

class Process {
public:
    /// Starts argv[0] with the given arguments and extra NAME=VALUE
    /// environment entries ("NAME=" alone removes NAME).
    explicit Process(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Stopped with the test process even when that ends without
            // running this object's destructor.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
            for (const auto& entry : environment) {
                const auto eq = entry.find('=');
                if (eq + 1 == entry.size()) ::unsetenv(entry.substr(0, eq).c_str());
                else ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
            }
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~Process() {
        if (pid_ > 0) {
            // Asked to stop first, so that it can take down what it set up: a
            // JACK server killed outright keeps its place in the machine's
            // server registry, which holds only eight.
            ::kill(pid_, SIGTERM);
            int ended = 0;
            for (int i = 0; i < 300 && (ended = ::waitpid(pid_, nullptr, WNOHANG)) == 0; ++i) ::usleep(10000);
            if (ended == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        ::close(out_);
        ::close(err_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    /// Waits until a line of standard output satisfies `match` (lines read
    /// before count too); true when one did.
    bool waitForLine(const std::function<bool(const std::string&)>& match,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (std::size_t i = checked_; i < lines_.size(); ++i) {
                if (match(lines_[i])) {
                    checked_ = i + 1;
                    return true;
                }
            }
            checked_ = lines_.size();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !pump(static_cast<int>(left.count()))) return false;
        }
    }

    /// Waits for the exit; the exit status, or -1 when it had to be killed
    /// (or died from a signal).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            pump(10);
        }
        pid_ = -1;
        while (pump(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    /// Whether the program is still running (reads what it wrote so far).
    bool running() {
        if (pid_ <= 0) return false;
        pump(0);
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
        pid_ = -1;
        return false;
    }

    /// Sends the running program a signal.
    void signal(int number) {
        if (pid_ > 0) ::kill(pid_, number);
    }

    const std::vector<std::string>& lines() const { return lines_; }
    /// Everything written to standard output, an unfinished last line included.
    std::string outputText() const {
        std::string all;
        for (const auto& line : lines_) all += line + "\n";
        return all + partial_;
    }
    const std::string& errorText() const { return errors_; }

private:
    /// Reads what is there (waiting up to ms); false once nothing more can come.
    bool pump(int ms) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, ms) <= 0) return pid_ > 0;
        bool open = false;
        char buffer[4096];
        for (auto& fd : fds) {
            const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            if (n > 0) {
                open = true;
                (fd.fd == out_ ? partial_ : errors_).append(buffer, std::size_t(n));
            } else if (n < 0 && errno == EAGAIN) {
                open = true;
            }
        }
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos; partial_.erase(0, end + 1))
            lines_.push_back(partial_.substr(0, end));
        return open;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string partial_, errors_;
    std::vector<std::string> lines_;
    std::size_t checked_ = 0;
};

} // namespace testprocess
