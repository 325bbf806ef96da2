#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "log.h"
#include "telnet_server.h"
#include "text.h"

using strings = std::vector<std::string>;

TEST(Text, ChompExplodeAndPortLists)
{
    for (auto c : {std::make_pair("list \r\n", "list"), {"a\t \n", "a"}, {" a b ", " a b"}, {" \r\n\t", " \r\n\t"}, {"", ""}}) {
        std::string s = c.first;
        chomp(s);
        EXPECT_EQ(s, c.second) << "|" << c.first << "|";
    }
    for (auto c : {std::make_pair("a::b:", strings{"a", "b"}), {":", {}}, {"", {}}, {"abc", {"abc"}}}) {
        strings pieces{"kept"};
        explode_string(c.first, ":", pieces);
        c.second.insert(c.second.begin(), "kept");
        EXPECT_EQ(pieces, c.second) << c.first;
    }
    strings pieces;
    explode_string("a-b/c", "/-", pieces);
    EXPECT_EQ(pieces, (strings{"a", "b", "c"}));
    EXPECT_EQ(to_string(-42, std::dec) + to_string(std::string("x"), std::dec) + to_string(-2147483647 - 1, std::dec) +
              to_string(255, std::hex), "-42x-2147483648ff");
    EXPECT_EQ(port_list_to_string({20000, 20001}) + "|" + port_list_to_string({7}) + "|" + port_list_to_string({}),
              "20000,20001|7|");
}

TEST(Parsing, DevicePortsRangesAndFilters)
{
    int port = 0, start = 0, stop = 0;
    EXPECT_TRUE(parse_port_number(" 22 ", port) && port == 22);
    EXPECT_TRUE(parse_port_number("65535", port) && port == 65535);
    for (const char* bad : {"", " ", "ssh", "0", "65536", "22x", "-5", "+5", "2 2", "000022"})
        EXPECT_FALSE(parse_port_number(bad, port)) << bad;

    struct { const char* text; int start, stop; } ranges[] = {
        {"20000-21000", 20000, 21000}, {"100-101", 100, 101}, {"1-65534", 1, 65534},
        {"-20000--21000-", 20000, 21000}, {" 20000 - 21000x", 20000, 21000}};
    for (const auto& c : ranges) {
        EXPECT_EQ(parse_port_range(c.text, start, stop), 0) << c.text;
        EXPECT_EQ(std::make_pair(start, stop), std::make_pair(c.start, c.stop)) << c.text;
    }
    for (const char* bad : {"65000-65535", "0-100", "abc-100", "21000-20000", "20000-20000", "20000", "1-2-3"})
        EXPECT_EQ(parse_port_range(bad, start, stop), -1) << bad;

    for (const char* good : {"10.1.2.3", "10.1.2.0/24", "0.0.0.0/0", "192.168.0.0/255.255.0.0", "255.255.255.255/32"})
        EXPECT_TRUE(is_valid_source_filter(good)) << good;
    for (const char* bad : {"1.2.3.4.5", "//", "300.1.1.1", "10.1.2.0/33", "gw.example", "10.1.2.3 /8", "1.2.3",
                            "1..2.3", "01.2.3.4", "1.2.3.4/", "1.2.3.4/255.0.255.0", "1.2.3.4/24/8", ""})
        EXPECT_FALSE(is_valid_source_filter(bad)) << bad;
}

TEST(Log, LineFormatFlushAndLimit)
{
    FILE* saved = logfile;
    logfile = tmpfile();
    log_msg("main", "started %s\n", "tunnel_keeper");
    log_msg("run", "%s", std::string(1023, 'x').c_str());  // cut to 1022
    log_msg("init", "%s", std::string(1022, 'y').c_str());
    std::string text(4096, '\0');  // read through the descriptor: the lines must be flushed
    text.resize(static_cast<size_t>(pread(fileno(logfile), &text[0], text.size(), 0)));
    fclose(logfile);
    logfile = saved;

    size_t at = 0;
    for (const std::string& rest : {std::string(" => main: started tunnel_keeper\n"), " => run: " + std::string(1022, 'x'),
                                    " => init: " + std::string(1022, 'y')}) {
        const std::string stamp = text.substr(at, 17), shape = "99/99/99-99:99:99";
        for (size_t i = 0; i < shape.size(); ++i)
            EXPECT_TRUE(shape[i] == '9' ? isdigit(static_cast<unsigned char>(stamp[i])) != 0 : stamp[i] == shape[i]) << stamp;
        EXPECT_EQ(text.substr(at + 17, rest.size()), rest);
        at += 17 + rest.size();
    }
    EXPECT_EQ(at, text.size());
}
