#include "text.h"

#include <cctype>
#include <cstdlib>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void chomp(std::string& str)
{
    std::string::size_type last = str.find_last_not_of("\r\n \t");
    if (last != std::string::npos)
        str.erase(last + 1);
}

void explode_string(std::string str, std::string separator,
                    std::vector<std::string>& results)
{
    std::string::size_type pos;
    while ((pos = str.find_first_of(separator)) != std::string::npos) {
        if (pos > 0)
            results.push_back(str.substr(0, pos));
        str = str.substr(pos + 1);
    }
    if (!str.empty())
        results.push_back(str);
}

std::string port_list_to_string(const port_list& ports)
{
    std::string text;
    for (port_list::const_iterator it = ports.begin(); it != ports.end(); ++it) {
        if (it != ports.begin())
            text += ",";
        text += to_string(*it, std::dec);
    }
    return text;
}

bool parse_port_number(const std::string& text, int& port)
{
    std::string::size_type first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return false;
    std::string::size_type last = text.find_last_not_of(" \t");
    std::string digits = text.substr(first, last - first + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

bool parse_seconds(const std::string& text, int longest, int& seconds)
{
    // At most nine digits, so that the number cannot overflow.
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = atoi(text.c_str());
    if (value < 1 || value > longest)
        return false;
    seconds = value;
    return true;
}

bool has_control_byte(const std::string& text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

std::string escape_text(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string escaped;
    for (unsigned char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == '\t')
            escaped += "\\t";
        else if (c < 0x20 || c == 0x7f)
            escaped += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        else
            escaped += static_cast<char>(c);
    }
    return escaped;
}

std::string unescape_text(const std::string& text)
{
    std::string plain;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            plain += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
    }
    return plain;
}

std::string format_time(time_t t, bool utc, const char* format)
{
    struct tm parts;
    if (utc)
        gmtime_r(&t, &parts);
    else
        localtime_r(&t, &parts);
    char text[64];
    return std::string(text, strftime(text, sizeof text, format, &parts));
}

bool read_whole_file(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        text.append(buf, static_cast<size_t>(n > 0 ? n : 0));
    close(fd);
    return n == 0;
}

time_t wall_clock_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

bool is_safe_account_name(const std::string& name)
{
    if (name.empty() || name.size() > 32 || name[0] == '-')
        return false;
    return name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                  "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789._-") == std::string::npos;
}

bool is_plain_public_key(const std::string& key)
{
    const std::string::size_type blank = key.find(' '), second = key.find(' ', blank + 1);
    const std::string type = key.substr(0, blank);
    const std::string blob = key.substr(blank + 1, second == std::string::npos ? std::string::npos : second - blank - 1);
    const std::string comment = second == std::string::npos ? std::string() : key.substr(second + 1);
    const char* const letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    return blank != std::string::npos && (type == "ssh-ed25519" || type == "ssh-rsa" || type == "ecdsa-sha2-nistp256") &&
           !blob.empty() && blob.find_first_not_of(std::string(letters) + "+/=") == std::string::npos &&
           comment.find_first_not_of(std::string(letters) + "@._-") == std::string::npos;
}

namespace {

// One decimal octet 0 to 255, without leading zeros (the firewall would read
// "010" as octal).
bool parse_octet(const std::string& text, unsigned& value)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    if (text.size() > 1 && text[0] == '0')
        return false;
    value = static_cast<unsigned>(atoi(text.c_str()));
    return value <= 255;
}

bool parse_dotted_quad(const std::string& text, unsigned long& address)
{
    // Split by hand: empty pieces must count as errors here.
    address = 0;
    std::string::size_type begin = 0;
    for (int i = 0; i < 4; ++i) {
        std::string::size_type end = text.find('.', begin);
        if ((i < 3) != (end != std::string::npos))
            return false;
        unsigned octet;
        if (!parse_octet(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin), octet))
            return false;
        address = (address << 8) | octet;
        begin = end + 1;
    }
    return true;
}

// A filter as its address and prefix length.
bool parse_filter(const std::string& filter, unsigned long& address, int& prefix)
{
    std::string::size_type slash = filter.find('/');
    if (!parse_dotted_quad(filter.substr(0, slash), address))
        return false;
    prefix = 32;
    if (slash == std::string::npos)
        return true;
    std::string mask = filter.substr(slash + 1);
    if (mask.find('.') == std::string::npos) {
        if (mask.empty() || mask.size() > 2 || mask.find_first_not_of("0123456789") != std::string::npos)
            return false;
        prefix = atoi(mask.c_str());
        return prefix <= 32;
    }
    unsigned long bits;
    if (!parse_dotted_quad(mask, bits))
        return false;
    // A netmask is a run of ones followed by a run of zeros.
    unsigned long inverted = ~bits & 0xffffffffUL;
    prefix = 32;
    for (unsigned long rest = inverted; rest; rest >>= 1)
        --prefix;
    return (inverted & (inverted + 1)) == 0;
}

} // namespace

bool is_valid_source_filter(const std::string& filter)
{
    unsigned long address;
    int prefix;
    return parse_filter(filter, address, prefix);
}

std::string canonical_filter(const std::string& filter)
{
    unsigned long address;
    int prefix;
    if (!parse_filter(filter, address, prefix))
        return std::string();
    const unsigned long mask = prefix == 0 ? 0 : (0xffffffffUL << (32 - prefix)) & 0xffffffffUL;
    address &= mask;
    return to_string(address >> 24, std::dec) + "." + to_string((address >> 16) & 0xff, std::dec) + "." +
           to_string((address >> 8) & 0xff, std::dec) + "." + to_string(address & 0xff, std::dec) + "/" +
           to_string(prefix, std::dec);
}
