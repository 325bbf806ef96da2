// Small text helpers shared by the control protocol, the port pool and
// provisioning.
#ifndef TUNNEL_KEEPER_TEXT_H
#define TUNNEL_KEEPER_TEXT_H

#include <charconv>
#include <ctime>
#include <ios>
#include <list>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

// An ordered list of TCP port numbers: the free-port pool and the two port
// lists of a grant.
typedef std::list<int> port_list;

// Cuts trailing "\r", "\n", blanks and tabs. A text made only of those
// characters (or the empty text) is left as it is.
void chomp(std::string& str);

// Appends to `results` the non-empty runs of `str` between characters of the
// set `separator`. `results` is not cleared first.
void explode_string(std::string str, std::string separator,
                    std::vector<std::string>& results);

// Value to text through a string stream with the manipulator `f`. Decimal
// integers take a short cut with the same result: "list" formats three of
// them per grant, and a string stream costs far more than the digits.
template <class T>
std::string to_string(T t, std::ios_base& (*f)(std::ios_base&))
{
    if constexpr (std::is_integral_v<T>) {
        if (f == static_cast<std::ios_base& (*)(std::ios_base&)>(std::dec)) {
            char digits[24];
            return std::string(digits, std::to_chars(digits, digits + sizeof digits, t).ptr);
        }
    }
    std::ostringstream oss;
    oss << f << t;
    return oss.str();
}

// "20000,20001"; the empty list gives the empty text.
std::string port_list_to_string(const port_list& ports);

// True when the text holds a control byte: below 0x20, or 0x7f.
bool has_control_byte(const std::string& text);

// The text with each control byte and backslash written as an escape ("\n",
// "\r", "\t", "\\", "\x01"): one line of printable text, which
// unescape_text turns back into the original.
std::string escape_text(const std::string& text);
std::string unescape_text(const std::string& text);

// The time in whole seconds since the epoch, from the precise clock (time()
// may read a coarse one, a few milliseconds behind it). Every grant's end is
// compared with it.
time_t wall_clock_seconds();

// A time as `format` (strftime) gives it, in UTC or in local time.
std::string format_time(time_t t, bool utc, const char* format);

// Appends a whole file to `text` (opened close-on-exec). False when it
// cannot be read.
bool read_whole_file(const std::string& path, std::string& text);

// Reads a decimal number from 1 to 65535 with optional blanks around it.
// Returns false for anything else (signs, letters, empty text, overflow).
bool parse_port_number(const std::string& text, int& port);

// Reads a lifetime: digits only, from 1 to `longest`. False for anything
// else.
bool parse_seconds(const std::string& text, int longest, int& seconds);

// The validators of what reaches a command or the state file.
// True for a name that may safely be put into a command as an account
// name: 1 to 32 letters, digits, ".", "_" or "-", not starting with "-".
bool is_safe_account_name(const std::string& name);

// True for a public key as ssh-keygen writes it and a key line may carry it:
// "ssh-ed25519", "ssh-rsa" or "ecdsa-sha2-nistp256", a blank, the key in
// base64, and an optional comment of letters, digits and "@._-".
bool is_plain_public_key(const std::string& key);

// True for a source filter the firewall rules can carry: a dotted-quad IPv4
// address, optionally "/" and a prefix length 0 to 32 or a dotted-quad
// netmask.
bool is_valid_source_filter(const std::string& filter);

// A valid filter as the firewall lists it: network address and prefix
// ("10.1.2.3" is "10.1.2.3/32", "10.1.2.3/255.255.255.0" is "10.1.2.0/24").
// Empty for an invalid one.
std::string canonical_filter(const std::string& filter);

#endif
