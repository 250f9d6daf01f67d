// Programs the gateway's tests run as an integrator would: zulgate itself,
// mbpoll and Debian's Python with pymodbus. Output goes to files, which the
// test reads while the program runs; every wait is bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace gwtest {

using Clock = std::chrono::steady_clock;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class Process {
public:
    // Starts args[0] (a path) with stdin from `input` (a file, or /dev/null).
    Process(std::vector<std::string> args, const std::string& outPath, const std::string& errPath,
            const std::string& input = "/dev/null")
        : out_(outPath), err_(errPath) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t Pid() const { return pid_; }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

    // Exit status, 128 + signal, or -1 when still running after the wait.
    int Wait(std::chrono::milliseconds wait) {
        auto until = Clock::now() + wait;
        while (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Clock::now() >= until) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }
    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    // Waits until stderr holds `text` (true) or the wait ends (false).
    bool WaitForErr(const std::string& text, std::chrono::milliseconds wait) {
        auto until = Clock::now() + wait;
        while (Clock::now() < until) {
            if (Err().find(text) != std::string::npos) return true;
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) { // it ended
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (pid_ < 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Err().find(text) != std::string::npos;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

struct Ran {
    int status = -1;
    std::string out, err;
};

// Runs a program to its end (killed after `wait`).
inline Ran RunProgram(const std::vector<std::string>& args, const std::string& folder,
                      std::chrono::milliseconds wait = std::chrono::seconds(60),
                      const std::string& input = "/dev/null") {
    static int serial = 0;
    std::string stem = folder + "/run" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    Ran ran;
    {
        Process p(args, stem + ".out", stem + ".err", input);
        ran.status = p.Wait(wait);
        ran.out = p.Out();
        ran.err = p.Err();
    }
    std::remove((stem + ".out").c_str());
    std::remove((stem + ".err").c_str());
    return ran;
}

// A fresh folder of the test's own; removed by the caller.
inline std::string TempFolder() {
    char path[] = "/tmp/zulgate-test-XXXXXX";
    return mkdtemp(path) ? std::string(path) : std::string();
}

} // namespace gwtest
