// Running host commands: each is formatted, logged, then started directly
// or, when it needs one, through /bin/sh.
#include "commands.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../log.h"

namespace {

std::string vformat(const char* fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int size = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (size < 0)
        return std::string();
    std::string text(static_cast<size_t>(size) + 1, '\0');
    vsnprintf(&text[0], text.size(), fmt, ap);
    text.resize(static_cast<size_t>(size));
    return text;
}

// Starts `words` (found on PATH), with its standard output on `out` unless
// that is -1. Returns the child's pid, or -1 after saying why.
pid_t spawn(const std::vector<std::string>& words, int out)
{
    std::vector<char*> argv;
    for (const std::string& w : words)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    pid_t pid;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0)
        return pid;
    // What a shell would say, onto standard error, which is the log.
    fprintf(stderr, "%s: %s\n", argv[0], strerror(error));
    return -1;
}

int wait_for_child(pid_t pid)
{
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

// A plain command runs without a shell: one process instead of two.
int run_host_command(const char* command)
{
    std::vector<std::string> words;
    if (!split_plain_command(command, words))
        return system(command);
    const pid_t pid = spawn(words, -1);
    return pid < 0 ? -1 : wait_for_child(pid);
}

// The children behind the streams of read_host_command, for closing them.
std::mutex children_lock;
std::map<FILE*, pid_t> children;

FILE* read_host_command(const char* command, const char* mode)
{
    std::vector<std::string> words;
    int pipe_fds[2];
    if (!split_plain_command(command, words) || pipe2(pipe_fds, O_CLOEXEC) != 0)
        return popen(command, mode);
    const pid_t pid = spawn(words, pipe_fds[1]);
    close(pipe_fds[1]);
    FILE* stream = pid < 0 ? nullptr : fdopen(pipe_fds[0], "r");
    if (!stream) {
        close(pipe_fds[0]);
        if (pid >= 0)
            wait_for_child(pid);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(children_lock);
    children[stream] = pid;
    return stream;
}

int close_host_command(FILE* stream)
{
    pid_t pid;
    {
        std::lock_guard<std::mutex> hold(children_lock);
        std::map<FILE*, pid_t>::iterator it = children.find(stream);
        if (it == children.end())
            return pclose(stream);
        pid = it->second;
        children.erase(it);
    }
    fclose(stream);
    return wait_for_child(pid);
}

} // namespace

bool split_plain_command(const std::string& command, std::vector<std::string>& words)
{
    std::string word;
    bool in_word = false;
    for (std::string::size_type i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == ' ') {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else if (c == '\'' || c == '"') {
            const std::string::size_type close = command.find(c, i + 1);
            if (close == std::string::npos)
                return false;
            const std::string quoted = command.substr(i + 1, close - i - 1);
            if (c == '"' && quoted.find_first_of("$`\\!") != std::string::npos)
                return false;
            word += quoted;
            in_word = true;
            i = close;
        } else if (strchr("|&;<>()$`\\*?[]#~{}!\t\n", c) || (c == '=' && words.empty())) {
            return false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word)
        words.push_back(word);
    return !words.empty();
}

int (*host_system)(const char* command) = run_host_command;
FILE* (*host_popen)(const char* command, const char* mode) = read_host_command;
int (*host_pclose)(FILE* stream) = close_host_command;
int (*host_lstat)(const char* path, struct stat* st) = lstat;

void run_command(const char* function, command_kind kind, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string command = vformat(fmt, ap);
    va_end(ap);
    if (kind == firewall_command)
        log_msg(function, "RUNNING |%s|\n", command.c_str());
    else
        log_msg(function, "Running: %s\n", command.c_str());
    int status = host_system(command.c_str());
    (void)status;
}

int read_command_output(const char* function, const std::string& command,
                        std::vector<std::string>& lines)
{
    FILE* fp = host_popen(command.c_str(), "r");
    if (!fp) {
        log_msg(function, "Failed to run command\n");
        return -1;
    }
    char* line = nullptr;
    size_t room = 0;
    ssize_t length;
    while ((length = getline(&line, &room, fp)) >= 0) {
        std::string text(line, static_cast<size_t>(length));
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        lines.push_back(text);
    }
    free(line);
    host_pclose(fp);
    return 0;
}

