// A program run as a child process with a deadline, its output kept: for tests of what a process
// does at its exit.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zephtest/wait.h"

extern char** environ;

namespace zephtest {

struct child_result {
    bool ended = false;  // false: still running at the deadline, and killed
    int status = -1;     // the exit status, or -1 when it did not exit normally
    std::string output;  // standard output and error together
};

inline child_result run_child(const std::string& program, const std::vector<std::string>& args,
                              std::chrono::milliseconds deadline = default_deadline) {
    child_result r;
    char out_name[] = "/tmp/zephchild-XXXXXX";
    const int out = mkstemp(out_name);
    if (out < 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_adddup2(&fa, out, 2);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out);
    if (spawned == 0) {
        int status = 0;
        r.ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline);
        if (!r.ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            r.status = WEXITSTATUS(status);
        }
    }
    std::ifstream in(out_name);
    std::ostringstream text;
    text << in.rdbuf();
    r.output = text.str();
    std::remove(out_name);
    return r;
}

}  // namespace zephtest
