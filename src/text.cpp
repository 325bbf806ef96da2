#include "text.h"

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
