#pragma once
// Turns the session's server name into what the ODBC driver wants. Kept apart
// from the session so that the forms can be checked without a server.

#include <string>
#include <string_view>

namespace velmora {

// server_name as operators write it: "host", "host\instance", "host,port";
// "(local)" and "." stand for this machine.
struct server_address {
    std::string host;
    std::string instance;  // empty for the default instance
    std::string port;      // empty when none was given
    bool operator==(const server_address&) const = default;
};

server_address parse_server_name(std::string_view server_name);

// One "key=value" value, braced when it holds characters that would end or
// confuse the pair; a "}" inside braces is doubled.
std::string odbc_quote_value(std::string_view value);

// DRIVER=FreeTDS;Server=host;Port=port;... A named instance goes to the driver
// as host\instance without a port, so that it asks the SQL Server Browser.
std::string freetds_connection_string(const server_address& where, std::string_view database,
                                      std::string_view login_id, std::string_view password);

}  // namespace velmora
