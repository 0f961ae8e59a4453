// Runs a program in a child process for end-to-end tests: its exit, its standard error, its peak
// memory, and a stop by a signal at a chosen moment or after a limit, so that a program that
// blocks cannot hang the test.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct ChildRun {
    int status = -1;        // the exit status, or 128 + the signal that ended it
    uint64_t peakBytes = 0; // the largest resident set (getrusage of the child)
    std::string err;        // standard error; standard output goes to /dev/null
};

struct ChildStop {
    int signal = 0; // sent after `after` when not 0
    std::chrono::milliseconds after{0};
    std::chrono::milliseconds limit = std::chrono::seconds(300); // then SIGKILL
};

ChildRun run_child(const std::string &program, const std::vector<std::string> &args,
                   const ChildStop &stop = {});

} // namespace testsupport
