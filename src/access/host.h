// Running host commands. Every change the daemon makes to the host is a
// shell command that is logged before it runs.
#ifndef TUNNEL_KEEPER_ACCESS_HOST_H
#define TUNNEL_KEEPER_ACCESS_HOST_H

#include <cstdio>
#include <sys/stat.h>
#include <string>
#include <vector>

// The shell behind every host command: system, popen and pclose, and the
// look at the files it made. In-process
// tests that must not change the host put recording stubs here.
extern int (*host_system)(const char* command);
extern FILE* (*host_popen)(const char* command, const char* mode);
extern int (*host_pclose)(FILE* stream);
extern int (*host_lstat)(const char* path, struct stat* st);

// How a command is logged: user and file commands as "Running: %s\n",
// firewall commands as "RUNNING |%s|\n".
enum command_kind { user_command, firewall_command };

// Formats a command, logs it under `function` and runs it with the shell.
// The exit status is not examined: a failing command never stops a sequence.
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

// True for a name that may safely be put into a shell command as an account
// name: 1 to 32 letters, digits, ".", "_" or "-", not starting with "-".
bool is_safe_account_name(const std::string& name);

// Waits, at most `max_ms` milliseconds, until no process of `user` is left
// (killed processes count until their parent has reaped them). Logs how long
// it waited, or that the wait ran out. Returns at once when the account does
// not exist.
const int reap_wait_ms = 3000;
void wait_until_account_is_idle(const char* function, const std::string& user, int max_ms);

// The account's uid; false when no such account exists.
bool account_uid(const std::string& user, unsigned& uid);

// Ends an account and deletes it: its authorized key first (a login that
// completes after that finds no key), then its processes, the account, its
// home directory and, with `key_copy`, its private-key copy
// (access/remove_temp_user.cpp).
void remove_account(const char* function, const std::string& user, bool key_copy);

// A TCP socket in the LISTEN state, IPv4 or IPv6, and the uid that owns it.
struct listening_socket {
    int port;
    unsigned uid;
};

// Reads the kernel's socket tables /proc/net/tcp and /proc/net/tcp6.
std::vector<listening_socket> read_listening_sockets();

#endif
