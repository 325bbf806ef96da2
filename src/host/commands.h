// Running host commands. Every change the daemon makes to the host is a
// command, built as an argument vector, logged before it runs and started
// without a shell; how it ended is reported to the caller.
#ifndef TUNNEL_KEEPER_HOST_COMMANDS_H
#define TUNNEL_KEEPER_HOST_COMMANDS_H

#include <atomic>
#include <string>
#include <sys/stat.h>
#include <vector>

// How a command ended.
struct command_result {
    int status = 0;          // exit status; 127: not started; 128 + N: ended by signal N
    bool timed_out = false;  // killed at the time limit
    std::string output;      // its standard output, when asked for
    bool ok() const { return status == 0; }
};

// How long a host command may run; one that runs longer is killed with its
// process group. Set once at start.
extern int command_limit_seconds;

// The runner behind every host command: starts `words` (the program found on
// PATH) in a process group of its own, with standard input from /dev/null,
// its standard output captured when `capture` is set, and waits at most
// `limit_seconds` for it. In-process tests that must not change the host put
// a recording stub here, and one for lstat.
extern command_result (*host_spawn)(const std::vector<std::string>& words, bool capture, int limit_seconds);
extern int (*host_lstat)(const char* path, struct stat* st);

// Raised by every command that succeeds on a thread whose work counts as
// progress (commands_count, true unless its thread says otherwise): a
// shutdown waits while the host's work moves on.
extern std::atomic<unsigned long> commands_done;
extern thread_local bool commands_count;

// How a command is logged before it runs: user and file commands as
// "Running: %s\n", firewall commands as "RUNNING |%s|\n"; a query (it only
// reads) is logged only when it fails.
enum command_kind { user_command, firewall_command, query_command };

// The words as the log shows them: joined by blanks, the empty word as "",
// and a word with anything but letters, digits and "_./:=,@%+-" in single
// quotes. The log's text only: it is never split back into words.
std::string command_text(const std::vector<std::string>& words);

// Logs the command under `function`, runs it and returns how it ended. A
// failure is logged with the program's name and its status, or as killed at
// the time limit, and counted. `tolerated` is an exit status that is no
// failure for this command (killall's 1: nothing to end).
command_result run_command(const char* function, command_kind kind, const std::vector<std::string>& words,
                           bool capture = false, int tolerated = 0);

#endif
