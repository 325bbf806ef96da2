#include "log.h"

#include <cstdarg>
#include <ctime>
#include <sys/time.h>

FILE* logfile = nullptr;

void log_msg(const char* function, const char* fmt, ...)
{
    char message[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(message, 1023, fmt, ap);
    va_end(ap);

    // Two threads log, so the broken-down time must come from the
    // re-entrant conversion.
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);

    char stamp[1024];
    snprintf(stamp, sizeof stamp, "%02i/%02i/%02i-%02i:%02i:%02i",
             local.tm_year - 100, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec);

    // One formatted write per line, so the stream's own lock keeps lines of
    // the two threads whole.
    if (logfile) {
        fprintf(logfile, "%s => %s: %s", stamp, function, message);
        fflush(logfile);
    } else {
        printf("%s => %s: %s", stamp, function, message);
    }
}
