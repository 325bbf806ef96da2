// Running host commands: each is an argument vector, logged, started with
// posix_spawn (no shell ever sees it) and waited for within the time limit.
#include "commands.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../log.h"
#include "../metrics.h"

int command_limit_seconds = 30;
std::atomic<unsigned long> commands_done{0};
thread_local bool commands_count = true;

namespace {

int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 127;
}

// Waits until the child has ended or `deadline` has passed; meanwhile reads
// its output from `out` (non-blocking, -1 for none). True when it ended.
bool wait_or_read(pid_t pid, int& out, std::string& output, std::chrono::steady_clock::time_point deadline)
{
    // A pidfd becomes readable when the child ends; without one (an old
    // kernel), the child is looked at every 5 ms.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = false;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd fds[2];
        nfds_t n = 0;
        if (pidfd >= 0)
            fds[n++] = {pidfd, POLLIN, 0};
        if (out >= 0)
            fds[n++] = {out, POLLIN, 0};
        poll(fds, n, pidfd >= 0 ? static_cast<int>(left.count()) : 5);
        char buf[4096];
        ssize_t got;
        while (out >= 0 && (got = read(out, buf, sizeof buf)) != 0) {
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            output.append(buf, static_cast<size_t>(got));
        }
        if (out >= 0 && got == 0) {
            close(out);
            out = -1;
        }
        if (pidfd >= 0) {
            ended = (fds[0].revents & POLLIN) != 0;
        } else {
            siginfo_t info;
            info.si_pid = 0;
            ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return ended;
}

command_result spawn_and_wait(const std::vector<std::string>& words, bool capture, int limit_seconds)
{
    command_result result;
    std::vector<char*> argv;
    for (const std::string& w : words)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    if (capture && pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) {
        result.status = 127;
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (capture)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // A group of its own, so that a command that overruns is killed with
    // everything it started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid;
    const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (out[1] >= 0)
        close(out[1]);
    if (error != 0) {
        // What a shell would say, onto standard error, which is the log.
        fprintf(stderr, "%s: %s\n", argv[0], strerror(error));
        if (out[0] >= 0)
            close(out[0]);
        result.status = 127;
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
    if (!wait_or_read(pid, out[0], result.output, deadline)) {
        kill(-pid, SIGKILL);
        result.timed_out = true;
    }
    if (out[0] >= 0)
        close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = exit_status(status);
    return result;
}

// A character that the log shows outside quotes.
bool is_plain(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || strchr("_./:=,@%+-", c);
}

} // namespace

command_result (*host_spawn)(const std::vector<std::string>& words, bool capture, int limit_seconds) = spawn_and_wait;
int (*host_lstat)(const char* path, struct stat* st) = lstat;

std::string command_text(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty())
            text += ' ';
        bool plain = !word.empty();
        for (char c : word)
            plain = plain && is_plain(c);
        if (plain) {
            text += word;
        } else if (word.empty()) {
            text += "\"\"";
        } else {
            text += '\'';
            for (char c : word)
                text += c == '\'' ? std::string("'\\''") : std::string(1, c);
            text += '\'';
        }
    }
    return text;
}

command_result run_command(const char* function, command_kind kind, const std::vector<std::string>& words, bool capture,
                           int tolerated)
{
    const std::string text = command_text(words);
    if (kind == firewall_command)
        log_msg(function, "RUNNING |%s|\n", text.c_str());
    else if (kind == user_command)
        log_msg(function, "Running: %s\n", text.c_str());
    command_result result = host_spawn(words, capture, command_limit_seconds);
    if (result.timed_out) {
        log_msg(function, "%s ran longer than %d seconds and was killed: %s\n", words[0].c_str(), command_limit_seconds,
                text.c_str());
        ++metrics.command_timeouts;
    } else if (result.ok() || (tolerated != 0 && result.status == tolerated)) {
        result.status = 0;
        if (commands_count)
            ++commands_done;
        return result;
    } else {
        log_msg(function, "%s failed with status %d: %s\n", words[0].c_str(), result.status, text.c_str());
    }
    ++metrics.command_failures;
    if (result.ok())
        result.status = 128 + SIGKILL;  // killed, whatever it had said
    return result;
}
