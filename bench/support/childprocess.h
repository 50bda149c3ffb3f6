#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

// Runs work() in a forked child, so that each case's peak memory (ru_maxrss) is its own, and
// tells whether the child ended normally with status 0.
template <typename Work> bool runInChild(Work work)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        work();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
