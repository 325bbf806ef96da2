// The daemon's one logger.
#ifndef TUNNEL_KEEPER_LOG_H
#define TUNNEL_KEEPER_LOG_H

#include <cstdio>

// The log file, opened for appending at start-up; null until then, or when
// it could not be opened (log lines then go to standard output).
extern FILE* logfile;

// Writes "<yy/mm/dd-hh:mm:ss> => <function>: <message>" to the log file and
// flushes it. The message is cut to 1022 characters; formats carry their own
// trailing newline.
void log_msg(const char* function, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

#endif
