#include "tests/support/child_process.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

#include "tests/support/fixtures.h"

extern char **environ;

namespace testsupport {

ChildRun run_child(const std::string &program, const std::vector<std::string> &args,
                   const ChildStop &stop)
{
    TempDir tmp;
    const std::string errPath = tmp.file("stderr.txt");
    std::vector<std::string> copy = args;
    std::string bin = program;
    std::vector<char *> argv{bin.data()};
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    ChildRun c;
    pid_t pid;
    if (posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        const auto start = std::chrono::steady_clock::now();
        int st = 0;
        struct rusage ru {};
        bool sent = false;
        while (::wait4(pid, &st, WNOHANG, &ru) == 0) {
            const auto ran = std::chrono::steady_clock::now() - start;
            if (stop.signal && !sent && ran >= stop.after) {
                ::kill(pid, stop.signal);
                sent = true;
            }
            if (ran >= stop.limit)
                ::kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        c.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        c.peakBytes = uint64_t(ru.ru_maxrss) * 1024;
    }
    posix_spawn_file_actions_destroy(&fa);
    const Bytes e = read_file(errPath);
    c.err.assign(e.begin(), e.end());
    return c;
}

} // namespace testsupport
