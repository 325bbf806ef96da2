// Running host commands. Every change the daemon makes to the host is a
// shell command that is logged before it runs.
#ifndef TUNNEL_KEEPER_HOST_COMMANDS_H
#define TUNNEL_KEEPER_HOST_COMMANDS_H

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

// The shell behind every host command: system, popen and pclose, and the
// look at the files it made. In-process tests that must not change the host
// put recording stubs here.
extern int (*host_system)(const char* command);
extern FILE* (*host_popen)(const char* command, const char* mode);
extern int (*host_pclose)(FILE* stream);
extern int (*host_lstat)(const char* path, struct stat* st);

// How a command is logged: user and file commands as "Running: %s\n",
// firewall commands as "RUNNING |%s|\n".
enum command_kind { user_command, firewall_command };

// Formats a command, logs it under `function` and runs it. The exit status
// is not examined: a failing command never stops a sequence.
void run_command(const char* function, command_kind kind, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Splits a command into its words when no shell is needed to run it: words
// are separated by blanks, and '...' or "..." quote literally (so "" is an
// empty word). False for any text a shell would interpret beyond that:
// redirections, pipes, substitutions, globs, escapes, variables. Such
// commands run through /bin/sh; all others are started directly.
bool split_plain_command(const std::string& command, std::vector<std::string>& words);

// Runs a command for its output and appends each output line (without its
// line feed) to `lines`. -1, after logging "Failed to run command\n", when the
// command cannot be started.
int read_command_output(const char* function, const std::string& command,
                        std::vector<std::string>& lines);

#endif
