// Command lines: words are the input split at NUL bytes. Whatever the option
// parser accepts must be a configuration the daemon can run with.
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <getopt.h>
#include <string>
#include <vector>

#include "telnet_server.h"

int parse_commandline(int argc, char** argv, std::string& ip, std::string& portrange, std::string& logfile,
                      int* listenport, int* timeout, int* clean);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words{"tunnel_keeper"};
    std::string input(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start <= input.size() && words.size() < 16;) {
        size_t end = std::min(input.find('\0', start), input.size());
        words.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    std::string ip, portrange = "20000-21000", logfile = "/var/log/tunnel_keeper.log";
    int listenport = 55444, timeout = 3600, clean = 0, start, stop;
    // The parser's messages go to standard error; keep them out of the
    // fuzzer's own output.
    static const int quiet = open("/dev/null", O_WRONLY);
    const int saved = dup(2);
    dup2(quiet, 2);
    optind = 0;  // restart getopt_long for every command line
    int result = parse_commandline(static_cast<int>(words.size()), argv.data(), ip, portrange, logfile, &listenport,
                                   &timeout, &clean);
    dup2(saved, 2);
    close(saved);
    if (result == 0 && (listenport < 1 || listenport > 65535 || timeout < 1 || parse_port_range(portrange, start, stop) != 0))
        abort();
    return 0;
}
