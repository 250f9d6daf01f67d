// Runs the built zulhost as a separate process, as an integrator would, and
// collects its exit status, stdout and stderr.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace zulhost_test {

struct ToolRun {
    bool exited = false; // ended by exit(), not by a signal
    int status = -1;     // its exit status
    std::string out, err;

    nlohmann::json Json() const { return nlohmann::json::parse(out); }
    // poll --json: one object per line.
    std::vector<nlohmann::json> JsonLines() const {
        std::vector<nlohmann::json> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline ToolRun RunTool(const std::vector<std::string>& args) {
    char outPath[] = "/tmp/zulhost-test-out-XXXXXX";
    char errPath[] = "/tmp/zulhost-test-err-XXXXXX";
    int outFd = mkstemp(outPath);
    int errFd = mkstemp(errPath);
    ToolRun run;
    if (outFd < 0 || errFd < 0) return run;

    std::vector<std::string> all{ZULHOST_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", 0, 0);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    if (spawned == 0) {
        int wstatus = 0;
        if (waitpid(pid, &wstatus, 0) == pid) {
            run.exited = WIFEXITED(wstatus);
            run.status = run.exited ? WEXITSTATUS(wstatus) : -1;
        }
    }
    run.out = ReadWhole(outPath);
    run.err = ReadWhole(errPath);
    std::remove(outPath);
    std::remove(errPath);
    return run;
}

} // namespace zulhost_test
