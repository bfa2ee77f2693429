#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rpc.h"
#include "tds.h"

namespace standin {

namespace {

const char* const server_name = "sqlserver-standin";
constexpr std::size_t max_message_bytes = 64u << 20;  // refuse absurd requests instead of allocating

bool read_exact(int fd, char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::recv(fd, buf + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bool send_all(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t r = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

// Reads one client message, however many packets it spans.
bool read_message(int fd, std::uint8_t& type, std::string& payload) {
    payload.clear();
    bool first = true;
    for (;;) {
        char h[tds::header_size];
        if (!read_exact(fd, h, sizeof h)) return false;
        std::size_t len = (static_cast<unsigned char>(h[2]) << 8) | static_cast<unsigned char>(h[3]);
        if (len < tds::header_size) return false;
        if (first) type = static_cast<std::uint8_t>(h[0]);
        first = false;
        std::size_t body = len - tds::header_size;
        if (payload.size() + body > max_message_bytes) return false;
        std::size_t at = payload.size();
        payload.resize(at + body);
        if (body && !read_exact(fd, payload.data() + at, body)) return false;
        if (static_cast<unsigned char>(h[1]) & tds::status_eom) return true;
    }
}

server_message info(int number, int state, std::string text) {
    server_message m;
    m.number = number;
    m.state = state;
    m.severity = 0;
    m.text = std::move(text);
    return m;
}

server_message error(int number, int state, int severity, std::string text) {
    server_message m;
    m.number = number;
    m.state = state;
    m.severity = severity;
    m.text = std::move(text);
    return m;
}

// Turns an engine reply into tokens. Every DONE but the last carries MORE;
// when the reply does not end in a DONE, a final one is added. Inside a
// procedure call statements end in DONEINPROC and the caller ends the reply.
void write_reply(tds::token_writer& w, const batch_reply& reply, bool in_proc = false) {
    const auto& items = reply.items;
    bool error_since_done = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bool last = i + 1 == items.size();
        const auto& item = items[i];
        if (auto* rs = std::get_if<result_set>(&item)) {
            w.result(*rs);
        } else if (auto* m = std::get_if<server_message>(&item)) {
            w.message(*m, server_name);
            if (m->is_error()) error_since_done = true;
        } else if (auto* d = std::get_if<statement_done>(&item)) {
            std::uint16_t status = 0;
            if (d->has_count) status |= tds::done_count;
            if (d->error) status |= tds::done_error;
            if (!last || in_proc || d->in_procedure) status |= tds::done_more;
            w.done(status, d->has_count ? static_cast<std::uint64_t>(d->count) : 0, 0,
                   in_proc || d->in_procedure ? tds::doneinproc_token : tds::done_token);
            error_since_done = false;
        } else if (auto* p = std::get_if<procedure_end>(&item)) {
            // A procedure called inside a procedure call ends without tokens of its own.
            if (in_proc) continue;
            w.return_status(p->status);
            w.done(last ? 0 : tds::done_more, 0, 0, tds::doneproc_token);
            error_since_done = false;
        } else if (auto* db = std::get_if<database_changed>(&item)) {
            w.envchange_text(1, db->new_name, db->old_name);
        } else if (auto* t = std::get_if<transaction_changed>(&item)) {
            std::uint8_t type = t->change == transaction_changed::what::begun       ? 8
                                : t->change == transaction_changed::what::committed ? 9
                                                                                     : 10;
            w.envchange_transaction(type, t->descriptor);
        }
    }
    if (!in_proc && (items.empty() || !(std::holds_alternative<statement_done>(items.back()) ||
                                         std::holds_alternative<procedure_end>(items.back()))))
        w.done(error_since_done ? tds::done_error : 0);
}

batch_reply failed_reply(int number, int severity, const std::string& text) {
    batch_reply r;
    r.items.reserve(2);
    r.items.emplace_back(std::in_place_type<server_message>, error(number, 1, severity, text));
    r.items.emplace_back(std::in_place_type<statement_done>, statement_done{false, 0, true});
    r.first_error = number;
    return r;
}

}  // namespace

server::server(engine& eng, const server_options& opts, journal& jrnl)
    : engine_(eng), opts_(opts), journal_(jrnl) {}

server::~server() { stop(); }

bool server::listen(std::string& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    std::string port = std::to_string(opts_.port);
    if (int rc = ::getaddrinfo(opts_.bind.c_str(), port.c_str(), &hints, &res); rc != 0) {
        err = "cannot resolve --bind address '" + opts_.bind + "': " + gai_strerror(rc);
        return false;
    }
    int fd = -1;
    std::string last_error = "no address";
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            last_error = std::strerror(errno);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) break;
        last_error = std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(res);
    if (fd < 0) {
        err = "cannot listen on " + opts_.bind + ":" + port + ": " + last_error;
        return false;
    }
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen);
    port_ = addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    listen_fd_ = fd;
    return true;
}

void server::start() { acceptor_ = std::thread([this] { accept_loop(); }); }

void server::stop() {
    if (stopping_.exchange(true)) return;
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    {
        std::lock_guard<std::mutex> lock(clients_mutex_);
        for (int fd : client_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    while (active_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void server::accept_loop() {
    while (!stopping_.load()) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            break;  // listener shut down
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        int conn_id = next_conn_.fetch_add(1);
        {
            std::lock_guard<std::mutex> lock(clients_mutex_);
            client_fds_.insert(fd);
        }
        ++active_;
        try {
            std::thread([this, fd, conn_id] {
                try {
                    serve(fd, conn_id);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "sqlserver-standin: connection %d: %s\n", conn_id, e.what());
                } catch (...) {
                    std::fprintf(stderr, "sqlserver-standin: connection %d: unknown failure\n", conn_id);
                }
                {
                    std::lock_guard<std::mutex> lock(clients_mutex_);
                    client_fds_.erase(fd);
                }
                ::close(fd);
                --active_;
            }).detach();
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "sqlserver-standin: cannot start a thread: %s\n", e.what());
            {
                std::lock_guard<std::mutex> lock(clients_mutex_);
                client_fds_.erase(fd);
            }
            ::close(fd);
            --active_;
        }
    }
}

// One client from PRELOGIN to disconnect. Returning ends the connection; the
// engine connection is destroyed first, so an open transaction is rolled back
// before the client can see the socket close.
void server::serve(int fd, int conn_id) {
    std::unique_ptr<connection> conn;
    std::size_t packet_size = 4096;
    const std::uint16_t spid = static_cast<std::uint16_t>(50 + conn_id % 30000);
    std::uint8_t packet_id = 0;
    bool all_headers = true;
    int batches = 0;
    // Prepared statements of this connection: handle -> (text, declaration).
    std::map<std::int32_t, std::pair<std::string, std::string>> prepared;
    std::int32_t next_handle = 1;

    auto reply = [&](const std::string& tokens) {
        return send_all(fd, tds::packetize(tds::pkt_reply, tokens, packet_size, spid, packet_id));
    };

    // --delay-ms: a request is held before it runs, as a busy server would
    // hold it. An ATTENTION arriving meanwhile cancels it unrun, and is
    // acknowledged at once, as clients that time out wait for that.
    enum class hold_result { run, cancelled, gone };
    auto hold = [&] {
        if (opts_.delay_ms <= 0) return hold_result::run;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts_.delay_ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
            if (left.count() <= 0) return hold_result::run;
            pollfd p{fd, POLLIN, 0};
            int n = ::poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return hold_result::run;
            std::uint8_t next_type = 0;
            std::string next;
            if (!read_message(fd, next_type, next)) return hold_result::gone;
            // Without MARS nothing but ATTENTION may come before the answer.
            return next_type == tds::pkt_attention ? hold_result::cancelled : hold_result::gone;
        }
    };
    auto acknowledge_attention = [&] {
        tds::token_writer w;
        w.done(tds::done_attn);
        return reply(w.bytes());
    };

    // While a request waits for a lock the engine asks now and then whether
    // the client still wants the answer: its ATTENTION (a query timeout) or
    // its disconnect ends the wait at once, so no thread is left waiting for
    // a client that is gone.
    enum class client_state { waiting, attention, gone };
    client_state client = client_state::waiting;
    auto client_interrupts = [&] {
        if (client != client_state::waiting) return true;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        std::uint8_t next_type = 0;
        std::string next;
        // Without MARS nothing but ATTENTION may come before the answer.
        client = read_message(fd, next_type, next) && next_type == tds::pkt_attention ? client_state::attention
                                                                                       : client_state::gone;
        return true;
    };
    // Sends a request's reply, or for a request the client cancelled meanwhile
    // the acknowledgement instead. False when the connection must end.
    auto answer = [&](const std::string& tokens) {
        if (client == client_state::gone) return false;
        if (client == client_state::attention) {
            client = client_state::waiting;
            return acknowledge_attention();
        }
        return reply(tokens);
    };

    // Runs statement text as a batch: a --fail rule, or the engine.
    auto run_text = [&](const std::string& text) {
        for (const auto& rule : opts_.fail_rules)
            if (std::regex_search(text, rule.regex)) return failed_reply(rule.number, 16, rule.message);
        try {
            return conn->execute_batch(text);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sqlserver-standin: connection %d: engine failure: %s\n", conn_id, e.what());
            return failed_reply(50000, 16, std::string("sqlserver-standin internal error: ") + e.what());
        }
    };

    // --drop-after: true when this batch is the one to vanish on.
    auto drop_now = [&] {
        ++batches;
        return opts_.drop_after > 0 && batches >= opts_.drop_after;
    };

    // --silent-at: a server that has stopped answering but keeps the
    // connection open. Whatever the client sends is read and dropped, ATTENTION
    // included, until it closes its end; then its transaction is rolled back
    // as on any disconnect.
    auto go_silent = [&] {
        char sink[4096];
        for (;;) {
            ssize_t n = ::recv(fd, sink, sizeof sink, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
        }
        conn.reset();
    };
    if (opts_.silent_at == 0) {
        go_silent();
        return;
    }

    // --drop-at and --silent-at count every request after the login, so that
    // a test can cut a connection at any request, commits included.
    int requests = 0;
    enum class fault { none, drop, silent };
    auto request_fault = [&] {
        ++requests;
        if (opts_.silent_at > 0 && requests >= opts_.silent_at) return fault::silent;
        if (opts_.drop_at > 0 && requests >= opts_.drop_at) return fault::drop;
        return fault::none;
    };

    std::uint8_t type = 0;
    std::string payload;
    while (read_message(fd, type, payload)) {
        if (!conn) {
            if (opts_.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opts_.delay_ms));
            if (type == tds::pkt_prelogin) {
                if (!reply(tds::prelogin_reply())) return;
                continue;
            }
            if (type != tds::pkt_login7) return;  // nothing else makes sense before a login
            auto login = tds::parse_login7(payload);
            if (!login) return;
            if (login->packet_size >= 512 && login->packet_size <= 32767) packet_size = login->packet_size;
            // Request headers arrived with TDS 7.2 (0x72000000 and up).
            all_headers = (login->tds_version >> 24) >= 0x72;
            login_result lr = engine_.login(login->user, login->password, login->database);
            tds::token_writer w;
            if (!lr.conn) {
                server_message m = lr.error.value_or(
                    error(18456, 1, 14, "Login failed for user '" + login->user + "'."));
                w.message(m, server_name);
                w.done(tds::done_error);
                reply(w.bytes());
                return;
            }
            conn = std::move(lr.conn);
            conn->set_interrupt_check(client_interrupts);
            std::string db = lr.database.empty() ? conn->current_database() : lr.database;
            w.envchange_text(1, db, "master");
            w.message(info(5701, 2, "Changed database context to '" + db + "'."), server_name);
            w.envchange_collation();
            w.envchange_text(2, "us_english", "");
            w.message(info(5703, 1, "Changed language setting to us_english."), server_name);
            w.loginack("Microsoft SQL Server", tds::tds_74);
            w.envchange_text(4, std::to_string(packet_size), std::to_string(packet_size));
            w.done(0);
            if (!reply(w.bytes())) return;
            continue;
        }

        if (type == tds::pkt_sql_batch || type == tds::pkt_rpc || type == tds::pkt_transaction_manager) {
            switch (request_fault()) {
            case fault::silent:
                go_silent();
                return;
            case fault::drop:
                conn.reset();  // rolls back before the client sees the socket close
                return;
            case fault::none:
                break;
            }
        }

        switch (type) {
        case tds::pkt_sql_batch: {
            if (drop_now()) {
                conn.reset();
                return;
            }
            auto text = tds::parse_sql_batch(payload, all_headers);
            if (!text) return;
            if (auto h = hold(); h != hold_result::run) {
                if (h == hold_result::gone || !acknowledge_attention()) return;
                break;
            }
            std::string db = conn->current_database();
            batch_reply r = run_text(*text);
            tds::token_writer w;
            write_reply(w, r);
            // Journal first: a client that has its answer finds the line there.
            journal_.record(conn_id, db, *text, r.first_error);
            if (!answer(w.bytes())) return;
            break;
        }
        case tds::pkt_transaction_manager: {
            auto tm = tds::parse_tm_request(payload, all_headers);
            if (!tm) return;
            if (auto h = hold(); h != hold_result::run) {
                if (h == hold_result::gone || !acknowledge_attention()) return;
                break;
            }
            std::string label;
            batch_reply r;
            try {
                switch (tm->type) {
                case tds::tm_request::begin:
                    label = "<begin tran>";
                    r = conn->begin_transaction();
                    break;
                case tds::tm_request::commit:
                    label = "<commit tran>";
                    r = conn->commit_transaction(tm->begin_new);
                    break;
                case tds::tm_request::rollback:
                    label = "<rollback tran>";
                    r = conn->rollback_transaction(tm->begin_new);
                    break;
                default:
                    label = "<transaction request " + std::to_string(tm->type) + ">";
                    r = failed_reply(50000, 16,
                                     "Transaction manager request " + std::to_string(tm->type) +
                                         " is not supported by sqlserver-standin.");
                    break;
                }
            } catch (const std::exception& e) {
                r = failed_reply(50000, 16, std::string("sqlserver-standin internal error: ") + e.what());
            }
            tds::token_writer w;
            write_reply(w, r);
            journal_.record(conn_id, conn->current_database(), label, r.first_error);
            if (!answer(w.bytes())) return;
            break;
        }
        case tds::pkt_rpc: {
            // Prepared statements, as ODBC drivers send them: the text runs
            // as a batch, wrapped in a procedure's reply.
            if (auto h = hold(); h != hold_result::run) {
                if (h == hold_result::gone || !acknowledge_attention()) return;
                break;
            }
            std::string parse_error;
            auto req = rpc::parse(payload, all_headers, parse_error);
            tds::token_writer w;
            std::optional<std::int32_t> handle_out;
            std::optional<std::string> text;
            std::string declaration;
            std::vector<rpc::parameter> values;
            batch_reply r;
            std::string label;
            const std::string proc = req ? rpc::procedure(*req) : "";
            auto text_param = [&](std::size_t i) -> std::string {
                if (!req || i >= req->params.size()) return "";
                const auto* s = std::get_if<std::string>(&req->params[i].value);
                return s ? *s : "";
            };
            auto int_param = [&](std::size_t i) -> std::int32_t {
                if (!req || i >= req->params.size()) return 0;
                const auto* v = std::get_if<std::int64_t>(&req->params[i].value);
                return v ? static_cast<std::int32_t>(*v) : 0;
            };
            auto rest = [&](std::size_t from) {
                if (req && from < req->params.size()) values.assign(req->params.begin() + from, req->params.end());
            };
            if (!req) {
                label = "<rpc>";
                r = failed_reply(8009, 16,
                                 "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol "
                                 "stream is incorrect: " + parse_error + ".");
            } else if (proc == "sp_executesql") {
                text = text_param(0);
                declaration = text_param(1);
                rest(2);
            } else if (proc == "sp_prepexec") {
                text = text_param(2);
                declaration = text_param(1);
                rest(3);
                handle_out = next_handle++;
                prepared[*handle_out] = {*text, declaration};
            } else if (proc == "sp_prepare") {
                handle_out = next_handle++;
                prepared[*handle_out] = {text_param(2), text_param(1)};
                label = "<prepare>";
            } else if (proc == "sp_execute") {
                auto it = prepared.find(int_param(0));
                if (it == prepared.end()) {
                    label = "<execute>";
                    r = failed_reply(8179, 16,
                                     "Could not find prepared statement with handle " +
                                         std::to_string(int_param(0)) + ".");
                } else {
                    text = it->second.first;
                    declaration = it->second.second;
                    rest(1);
                }
            } else if (proc == "sp_unprepare") {
                prepared.erase(int_param(0));
                label = "<unprepare>";
            } else {
                label = "<rpc " + req->proc_name + ">";
                r = failed_reply(2812, 16, "Could not find stored procedure '" + req->proc_name + "'.");
            }

            std::string db = conn->current_database();
            if (text) {
                if (drop_now()) {
                    conn.reset();
                    return;
                }
                label = rpc::bind(*text, declaration, values);
                r = run_text(label);
            }
            write_reply(w, r, true);
            w.return_status(r.first_error ? -6 : 0);
            if (handle_out) w.return_value_int(0, "", *handle_out);
            w.done(r.first_error ? tds::done_error : 0, 0, 0, tds::doneproc_token);
            // Only statements and refusals are worth a journal line, not the
            // driver's bookkeeping.
            if (text || r.first_error) journal_.record(conn_id, db, label, r.first_error);
            if (!answer(w.bytes())) return;
            break;
        }
        case tds::pkt_attention:
            // The request it meant to cancel has been answered already.
            if (!acknowledge_attention()) return;
            break;
        default:
            return;  // unknown request: end the connection as SQL Server does
        }
    }
    conn.reset();
}

}  // namespace standin
