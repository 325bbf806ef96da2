// Range, port, filter and text parsing: what they accept must be what the
// commands may carry.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "telnet_server.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    int a = 0, b = 0;
    if (parse_port_range(text, a, b) == 0 && !(0 < a && a < b && b <= 65534))
        abort();
    if (parse_port_number(text, a) && !(a >= 1 && a <= 65535 && text.find_first_not_of("0123456789 \t") == std::string::npos))
        abort();
    if (is_valid_source_filter(text) && (text.find_first_not_of("0123456789./") != std::string::npos || text.size() > 31))
        abort();

    std::string cut = text;
    chomp(cut);
    if (text.compare(0, cut.size(), cut) != 0 || (cut.size() < text.size() &&
        (text.find_first_not_of("\r\n \t", cut.size()) != std::string::npos || cut.find_first_not_of("\r\n \t") == std::string::npos)))
        abort();
    std::vector<std::string> pieces;
    explode_string(text, ":,", pieces);
    std::string joined, rest;
    for (const std::string& p : pieces) {
        if (p.empty() || p.find_first_of(":,") != std::string::npos)
            abort();
        joined += p;
    }
    for (char c : text)
        if (c != ':' && c != ',')
            rest += c;
    if (joined != rest)
        abort();
    return 0;
}
