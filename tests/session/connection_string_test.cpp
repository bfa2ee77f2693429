#include "session/odbc_connection_string.h"

#include <gtest/gtest.h>

using velmora::freetds_connection_string;
using velmora::parse_server_name;
using velmora::server_address;

TEST(server_name, every_form_operators_write) {
    EXPECT_EQ(parse_server_name("shop"), (server_address{"shop", "", ""}));
    EXPECT_EQ(parse_server_name("shop\\SQLEXPRESS"), (server_address{"shop", "SQLEXPRESS", ""}));
    EXPECT_EQ(parse_server_name("10.0.0.5,14330"), (server_address{"10.0.0.5", "", "14330"}));
    EXPECT_EQ(parse_server_name(" (LOCAL) "), (server_address{"127.0.0.1", "", ""}));
    EXPECT_EQ(parse_server_name(".\\inst"), (server_address{"127.0.0.1", "inst", ""}));
    EXPECT_EQ(parse_server_name("(local),2000"), (server_address{"127.0.0.1", "", "2000"}));
    EXPECT_EQ(parse_server_name(""), (server_address{"", "", ""}));
}

TEST(server_name, freetds_gets_the_port_spelled_out_and_instances_left_to_the_browser) {
    EXPECT_EQ(freetds_connection_string(parse_server_name("shop"), "", "velmora", "quorbin"),
              "DRIVER=FreeTDS;Server=shop;Port=1433;UID=velmora;PWD=quorbin;ClientCharset=UTF-8");
    EXPECT_EQ(freetds_connection_string(parse_server_name("shop,4000"), "pos", "velmora", "quorbin"),
              "DRIVER=FreeTDS;Server=shop;Port=4000;Database=pos;UID=velmora;PWD=quorbin;ClientCharset=UTF-8");
    EXPECT_EQ(freetds_connection_string(parse_server_name("shop\\inst"), "", "u", "p"),
              "DRIVER=FreeTDS;Server=shop\\inst;UID=u;PWD=p;ClientCharset=UTF-8");
    // Values that would end the pair are braced, a closing brace doubled.
    EXPECT_EQ(freetds_connection_string(parse_server_name("h"), "a;b}c", "u", "p"),
              "DRIVER=FreeTDS;Server=h;Port=1433;Database={a;b}}c};UID=u;PWD=p;ClientCharset=UTF-8");
}
