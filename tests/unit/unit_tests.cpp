#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "log.h"
#include "telnet_server.h"
#include "text.h"

static std::vector<std::string> split(const std::string& text, const std::string& sep)
{
    std::vector<std::string> pieces;
    explode_string(text, sep, pieces);
    return pieces;
}

TEST(Text, ChompCutsTrailingWhiteSpaceOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"list \r\n", "list"}, {"a\t \n", "a"}, {" a b ", " a b"},
        {" \r\n\t", " \r\n\t"}, {"", ""}, {"x", "x"},
    };
    for (const auto& c : cases) {
        std::string s = c.first;
        chomp(s);
        EXPECT_EQ(s, c.second) << "input |" << c.first << "|";
    }
}

TEST(Text, ExplodeDropsEmptyPiecesAndAppends)
{
    EXPECT_EQ(split("a::b:", ":"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(split(":", ":").empty());
    EXPECT_TRUE(split("", ":").empty());
    EXPECT_EQ(split("abc", ":"), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(split("a-b/c", "/-"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split("a:b", ""), (std::vector<std::string>{"a:b"}));
    std::vector<std::string> kept{"x"};
    explode_string("y,z", ",", kept);
    EXPECT_EQ(kept, (std::vector<std::string>{"x", "y", "z"}));
}

TEST(Text, NumbersAndPortLists)
{
    EXPECT_EQ(to_string(-42, std::dec), "-42");
    EXPECT_EQ(to_string(std::string("abc"), std::dec), "abc");
    EXPECT_EQ(port_list_to_string({20000, 20001}), "20000,20001");
    EXPECT_EQ(port_list_to_string({7}), "7");
    EXPECT_EQ(port_list_to_string({}), "");
}

TEST(Text, DevicePortMustBeOneTo65535)
{
    int port = -1;
    EXPECT_TRUE(parse_port_number(" 22 ", port));
    EXPECT_EQ(port, 22);
    EXPECT_TRUE(parse_port_number("65535", port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"", " ", "ssh", "0", "65536", "22x", "-5", "+5", "2 2", "000022", "99999999999"})
        EXPECT_FALSE(parse_port_number(bad, port)) << bad;
}

TEST(PortPool, RangeRules)
{
    struct { const char* text; int start, stop; } accepted[] = {
        {"20000-21000", 20000, 21000}, {"100-101", 100, 101}, {"1-65534", 1, 65534},
        {"65000-65534", 65000, 65534}, {"-20000--21000-", 20000, 21000},
        {" 20000 - 21000x", 20000, 21000},
    };
    for (const auto& c : accepted) {
        int start = 0, stop = 0;
        EXPECT_EQ(parse_port_range(c.text, start, stop), 0) << c.text;
        EXPECT_EQ(start, c.start) << c.text;
        EXPECT_EQ(stop, c.stop) << c.text;
    }
    for (const char* bad : {"65000-65535", "0-100", "abc-100", "21000-20000", "20000-20000",
                            "20000", "1-2-3", ""}) {
        int start = 0, stop = 0;
        EXPECT_EQ(parse_port_range(bad, start, stop), -1) << bad;
    }
}

TEST(SourceFilter, OnlyDottedQuadWithPrefixOrMask)
{
    for (const char* good : {"10.1.2.3", "10.1.2.0/24", "0.0.0.0/0", "192.168.0.0/255.255.0.0",
                             "1.2.3.4/32", "255.255.255.255"})
        EXPECT_TRUE(is_valid_source_filter(good)) << good;
    for (const char* bad : {"1.2.3.4.5", "//", "300.1.1.1", "10.1.2.0/33", "host.example",
                            "10.1.2.3 /8", "1.2.3", "1..2.3", "01.2.3.4", "1.2.3.4/",
                            "1.2.3.4/255.0.255.0", "1.2.3.4/24/8", "", "-1.2.3.4"})
        EXPECT_FALSE(is_valid_source_filter(bad)) << bad;
}

TEST(Log, LineFormatFlushAndLimit)
{
    FILE* saved = logfile;
    logfile = tmpfile();
    ASSERT_NE(logfile, nullptr);
    log_msg("main", "started %s\n", "tunnel_keeper");
    log_msg("run", "%s", std::string(1023, 'x').c_str());
    log_msg("init", "%s", std::string(1022, 'y').c_str());
    // Read through a second descriptor: the lines must have been flushed.
    std::string text;
    FILE* reader = fdopen(dup(fileno(logfile)), "r");
    rewind(reader);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, reader)) > 0)
        text.append(buf, n);
    fclose(reader);
    fclose(logfile);
    logfile = saved;

    // Each line: 17-character stamp, " => ", function, ": ", message.
    // The 1023-character message is cut to 1022 and loses nothing else.
    auto is_stamp = [](const std::string& t) {
        const std::string shape = "99/99/99-99:99:99";
        for (size_t i = 0; i < shape.size(); ++i)
            if (shape[i] == '9' ? !isdigit(static_cast<unsigned char>(t[i])) : t[i] != shape[i])
                return false;
        return t.size() == shape.size();
    };
    const std::string first = " => main: started tunnel_keeper\n";
    const std::string second = " => run: " + std::string(1022, 'x');
    const std::string third = " => init: " + std::string(1022, 'y');
    ASSERT_EQ(text.size(), 3 * 17 + first.size() + second.size() + third.size());
    size_t at = 0;
    for (const std::string& rest : {first, second, third}) {
        EXPECT_TRUE(is_stamp(text.substr(at, 17))) << text.substr(at, 17);
        EXPECT_EQ(text.substr(at + 17, rest.size()), rest);
        at += 17 + rest.size();
    }
}
