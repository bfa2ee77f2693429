#pragma once
// One client connection of the TDS server, from PRELOGIN to disconnect: the
// connection's state, and one handler per packet type that turns requests
// into engine calls and engine replies into tokens.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/journal.h"
#include "sqlserver-standin/options.h"
#include "sqlserver-standin/rpc.h"
#include "sqlserver-standin/tds.h"

namespace standin {

class client_session {
public:
    // The engine, options and journal must outlive the session.
    client_session(engine& eng, const server_options& opts, journal& jrnl, int fd, int conn_id);

    // Serves the client until it leaves or a fault ends the connection. The
    // engine connection is gone when this returns, so an open transaction is
    // rolled back before the caller closes the socket.
    void run();

private:
    enum class hold_result { run, cancelled, gone };
    enum class client_state { waiting, attention, gone };
    enum class fault { none, drop, silent };

    // What an RPC request asks for, once its procedure is known.
    struct rpc_plan {
        std::optional<std::string> text;         // statement text to run
        std::string declaration;                 // its parameters, "@P1 int,..."
        std::vector<rpc::parameter> values;
        std::optional<std::int32_t> handle_out;  // a new prepared statement's handle
        std::string handle_name;                 // ... and the output parameter it goes back in
        std::string label;                       // the journal's text when nothing runs
        batch_reply refusal;                     // the reply when the request is refused
    };

    // Handlers, one per packet type. False ends the connection.
    bool dispatch(std::uint8_t type, const std::string& payload, std::uint8_t status);
    bool on_prelogin();
    bool on_login(const std::string& payload);
    bool on_sql_batch(const std::string& payload);
    bool on_transaction_manager(const std::string& payload);
    bool on_rpc(const std::string& payload);

    batch_reply transaction_request(const tds::tm_request& tm, std::string& label);
    rpc_plan plan_rpc(const std::string& payload);

    bool reply(const std::string& tokens);
    hold_result hold();
    bool acknowledge_attention();
    bool after_hold(hold_result h);
    bool client_interrupts();
    bool answer(const std::string& tokens);
    tds::token_writer reply_writer();
    static void append(batch_reply& to, batch_reply more);
    batch_reply run_text(const std::string& text);
    bool drop_now();
    void go_silent();
    fault request_fault();

    engine& engine_;
    const server_options& opts_;
    journal& journal_;
    const int fd_;
    const int conn_id_;
    const std::uint16_t spid_;

    std::unique_ptr<connection> conn_;  // set by a successful login
    std::size_t packet_size_ = 4096;
    std::uint8_t packet_id_ = 0;
    tds::protocol proto_;      // the TDS version the login negotiated
    bool all_headers_ = true;  // requests carry ALL_HEADERS (TDS 7.2 and later)
    bool reset_pending_ = false;  // the request reset the connection: its reply acknowledges that
    int batches_ = 0;          // for --drop-after
    int requests_ = 0;         // for --drop-at and --silent-at
    client_state client_ = client_state::waiting;
    // Prepared statements: handle -> (text, declaration).
    std::map<std::int32_t, std::pair<std::string, std::string>> prepared_;
    std::int32_t next_handle_ = 1;
};

}  // namespace standin
