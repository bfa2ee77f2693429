#include "sqlserver-standin/client_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/server_version.h"
#include "sqlserver-standin/tds.h"

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

// One client message, however many packets it spans, and the status bits
// that matter: RESETCONNECTION from the first packet ([MS-TDS] 2.2.3.1.2
// says only the first one counts), IGNORE from the last.
bool read_message(int fd, std::uint8_t& type, std::string& payload, std::uint8_t* status = nullptr) {
    payload.clear();
    bool first = true;
    for (;;) {
        char h[tds::header_size];
        if (!read_exact(fd, h, sizeof h)) return false;
        std::size_t len = (static_cast<unsigned char>(h[2]) << 8) | static_cast<unsigned char>(h[3]);
        if (len < tds::header_size) return false;
        const auto bits = static_cast<std::uint8_t>(h[1]);
        if (first) {
            type = static_cast<std::uint8_t>(h[0]);
            if (status) *status = bits & (tds::status_reset | tds::status_reset_skip_tran);
        }
        first = false;
        std::size_t body = len - tds::header_size;
        if (payload.size() + body > max_message_bytes) return false;
        std::size_t at = payload.size();
        payload.resize(at + body);
        if (body && !read_exact(fd, payload.data() + at, body)) return false;
        if (bits & tds::status_eom) {
            if (status) *status |= bits & tds::status_ignore;
            return true;
        }
    }
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

// A request answered with one error.
batch_reply failed_reply(const server_message& m) {
    batch_reply r;
    r.items.reserve(2);
    r.items.emplace_back(std::in_place_type<server_message>, m);
    r.items.emplace_back(std::in_place_type<statement_done>, statement_done{false, 0, true});
    r.first_error = m.number;
    return r;
}

// A --fail rule's error, as the rule words it.
server_message rule_failure(const fail_rule& rule) {
    server_message m;
    m.number = rule.number;
    m.severity = 16;
    m.text = rule.message;
    return m;
}

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

std::string text_param(const rpc::request& req, std::size_t i) {
    if (i >= req.params.size()) return "";
    const auto* s = std::get_if<std::string>(&req.params[i].value);
    return s ? *s : "";
}

std::int32_t int_param(const rpc::request& req, std::size_t i) {
    if (i >= req.params.size()) return 0;
    const auto* v = std::get_if<std::int64_t>(&req.params[i].value);
    return v ? static_cast<std::int32_t>(*v) : 0;
}

std::vector<rpc::parameter> params_from(const rpc::request& req, std::size_t from) {
    if (from >= req.params.size()) return {};
    return {req.params.begin() + static_cast<long>(from), req.params.end()};
}

}  // namespace

client_session::client_session(engine& eng, const server_options& opts, journal& jrnl, int fd, int conn_id)
    : engine_(eng),
      opts_(opts),
      journal_(jrnl),
      fd_(fd),
      conn_id_(conn_id),
      spid_(static_cast<std::uint16_t>(50 + conn_id % 30000)) {}

void client_session::run() {
    if (opts_.silent_at == 0) {
        go_silent();
        return;
    }
    std::uint8_t type = 0, status = 0;
    std::string payload;
    while (read_message(fd_, type, payload, &status))
        if (!dispatch(type, payload, status)) return;
    conn_.reset();
}

bool client_session::dispatch(std::uint8_t type, const std::string& payload, std::uint8_t status) {
    if (!conn_) {
        if (opts_.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opts_.delay_ms));
        if (type == tds::pkt_prelogin) return on_prelogin();
        if (type == tds::pkt_login7) return on_login(payload);
        return false;  // nothing else makes sense before a login
    }
    const bool request = type == tds::pkt_sql_batch || type == tds::pkt_rpc || type == tds::pkt_transaction_manager;
    // A request the client stopped sending: ignored, answered with a DONE
    // that says so ([MS-TDS] 2.2.1.7), and no request for the fault options.
    if (request && (status & tds::status_ignore)) {
        tds::token_writer w(proto_);
        w.done(tds::done_error);
        return reply(w.bytes());
    }
    if (request) {
        switch (request_fault()) {
        case fault::silent:
            go_silent();
            return false;
        case fault::drop:
            conn_.reset();  // rolls back before the client sees the socket close
            return false;
        case fault::none:
            break;
        }
        // RESETCONNECTION: the session as a new login has it, then the request.
        reset_pending_ = (status & (tds::status_reset | tds::status_reset_skip_tran)) != 0;
        if (reset_pending_) conn_->reset((status & tds::status_reset_skip_tran) != 0);
    }
    switch (type) {
    case tds::pkt_sql_batch: return on_sql_batch(payload);
    case tds::pkt_transaction_manager: return on_transaction_manager(payload);
    case tds::pkt_rpc: return on_rpc(payload);
    case tds::pkt_attention:
        // The request it meant to cancel has been answered already.
        return acknowledge_attention();
    default:
        return false;  // unknown request: end the connection as SQL Server does
    }
}

// ------------------------------------------------------------------ handlers

bool client_session::on_prelogin() { return reply(tds::prelogin_reply(*opts_.version)); }

// The login response ([MS-TDS] 2.2.6.4, 2.2.7.14): in the version the
// client asked for, or the newest the SQL Server played speaks.
bool client_session::on_login(const std::string& payload) {
    auto login = tds::parse_login7(payload);
    if (!login) return false;
    if (login->packet_size >= 512 && login->packet_size <= 32767) packet_size_ = login->packet_size;
    auto version = tds::negotiate(login->tds_version, opts_.version->newest_tds);
    if (!version) {
        // An ERROR the client can show, then the connection closes as SQL
        // Server closes it for a library it does not speak to.
        tds::token_writer w(tds::protocol{tds::tds_71});
        w.message(message_of(errors::unsupported_tds_version, hex8(login->tds_version)), server_name);
        w.done(tds::done_error);
        reply(w.bytes());
        return false;
    }
    proto_.version = *version;
    all_headers_ = proto_.from_72();
    login_result lr = engine_.login(login->user, login->password, login->database, {login->host, login->app});
    tds::token_writer w(proto_);
    if (!lr.conn) {
        server_message m = lr.error.value_or(message_of(errors::login_failed, login->user));
        w.message(m, server_name);
        w.done(tds::done_error);
        reply(w.bytes());
        return false;
    }
    conn_ = std::move(lr.conn);
    conn_->set_interrupt_check([this] { return client_interrupts(); });
    std::string db = lr.database.empty() ? conn_->current_database() : lr.database;
    w.envchange_text(1, db, "master");
    w.message(message_of(errors::database_changed, db), server_name);
    w.envchange_collation();
    w.envchange_text(2, "us_english", "");
    w.message(message_of(errors::language_changed, "us_english"), server_name);
    w.loginack(*opts_.version, proto_.version);
    if (proto_.from_74() && login->utf8_support && opts_.version->has.utf8_feature) w.feature_ext_ack_utf8();
    w.envchange_text(4, std::to_string(packet_size_), std::to_string(packet_size_));
    w.done(0);
    return reply(w.bytes());
}

bool client_session::on_sql_batch(const std::string& payload) {
    if (drop_now()) {
        conn_.reset();
        return false;
    }
    auto text = tds::parse_sql_batch(payload, all_headers_);
    if (!text) return false;
    if (auto h = hold(); h != hold_result::run) return after_hold(h);
    std::string db = conn_->current_database();
    batch_reply r = run_text(*text);
    tds::token_writer w = reply_writer();
    write_reply(w, r);
    // Journal first: a client that has its answer finds the line there.
    journal_.record(conn_id_, db, *text, r.first_error, r.parse_only);
    return answer(w.bytes());
}

bool client_session::on_transaction_manager(const std::string& payload) {
    auto tm = tds::parse_tm_request(payload, all_headers_);
    if (!tm) return false;
    if (auto h = hold(); h != hold_result::run) return after_hold(h);
    std::string label;
    batch_reply r;
    try {
        r = transaction_request(*tm, label);
    } catch (const std::exception& e) {
        r = failed_reply(message_of(errors::server_internal_error, e.what()));
    }
    tds::token_writer w = reply_writer();
    write_reply(w, r);
    journal_.record(conn_id_, conn_->current_database(), label, r.first_error);
    return answer(w.bytes());
}

// Begin, commit, rollback or save; label is the journal's name for it. A
// --fail rule matching that name fails the request and leaves the
// transaction as it was, with the connection up.
batch_reply client_session::transaction_request(const tds::tm_request& tm, std::string& label) {
    auto named = [&](const char* what) {
        return std::string("<") + what + (tm.name.empty() ? "" : " " + tm.name) + ">";
    };
    label = tm.type == tds::tm_request::begin      ? named("begin tran")
            : tm.type == tds::tm_request::commit   ? named("commit tran")
            : tm.type == tds::tm_request::rollback ? named("rollback tran")
            : tm.type == tds::tm_request::save     ? named("save tran")
                                                   : "<transaction request " + std::to_string(tm.type) + ">";
    for (const auto& rule : opts_.fail_rules)
        if (std::regex_search(label, rule.regex)) return failed_reply(rule_failure(rule));
    switch (tm.type) {
    case tds::tm_request::begin:
        return conn_->begin_transaction(tm.name);
    case tds::tm_request::commit: {
        batch_reply r = conn_->commit_transaction(false);
        if (tm.begin_new && r.first_error == 0) append(r, conn_->begin_transaction(tm.new_name));
        return r;
    }
    case tds::tm_request::rollback: {
        batch_reply r = conn_->rollback_transaction(tm.name, false);
        if (tm.begin_new && r.first_error == 0 && conn_->trancount() == 0)
            append(r, conn_->begin_transaction(tm.new_name));
        return r;
    }
    case tds::tm_request::save:
        return conn_->save_transaction(tm.name);
    default:
        return failed_reply(message_of(errors::unsupported_transaction_request, std::to_string(tm.type)));
    }
}

// Prepared statements, as ODBC drivers send them: the text runs as a batch,
// wrapped in a procedure's reply.
bool client_session::on_rpc(const std::string& payload) {
    if (auto h = hold(); h != hold_result::run) return after_hold(h);
    rpc_plan plan = plan_rpc(payload);
    std::string db = conn_->current_database();
    batch_reply r = std::move(plan.refusal);
    std::string label = plan.label;
    if (plan.text) {
        if (drop_now()) {
            conn_.reset();
            return false;
        }
        label = rpc::bind(*plan.text, plan.declaration, plan.values);
        r = run_text(label);
    }
    tds::token_writer w = reply_writer();
    write_reply(w, r, true);
    w.return_status(r.first_error ? -6 : 0);
    if (plan.handle_out) w.return_value_int(0, plan.handle_name, *plan.handle_out);
    w.done(r.first_error ? tds::done_error : 0, 0, 0, tds::doneproc_token);
    // Only statements and refusals are worth a journal line, not the
    // driver's bookkeeping.
    if (plan.text || r.first_error) journal_.record(conn_id_, db, label, r.first_error, r.parse_only);
    return answer(w.bytes());
}

client_session::rpc_plan client_session::plan_rpc(const std::string& payload) {
    rpc_plan plan;
    std::string parse_error;
    auto req = rpc::parse(payload, all_headers_, parse_error);
    if (!req) {
        plan.label = "<rpc>";
        plan.refusal = failed_reply(message_of(errors::rpc_stream_incorrect, parse_error));
        return plan;
    }
    const std::string proc = rpc::procedure(*req);
    if (proc == "sp_executesql") {
        plan.text = text_param(*req, 0);
        plan.declaration = text_param(*req, 1);
        plan.values = params_from(*req, 2);
    } else if (proc == "sp_prepexec" || proc == "sp_prepare") {
        const bool run = proc == "sp_prepexec";
        plan.handle_out = next_handle_++;
        prepared_[*plan.handle_out] = {text_param(*req, 2), text_param(*req, 1)};
        // The handle comes back in the first parameter, named as it was sent
        // ([MS-TDS] 2.2.7.19: RETURNVALUE carries the parameter's name).
        if (!req->params.empty()) plan.handle_name = req->params[0].name;
        if (run) {
            plan.text = text_param(*req, 2);
            plan.declaration = text_param(*req, 1);
            plan.values = params_from(*req, 3);
        } else {
            plan.label = "<prepare>";
        }
    } else if (proc == "sp_execute") {
        auto it = prepared_.find(int_param(*req, 0));
        if (it == prepared_.end()) {
            plan.label = "<execute>";
            plan.refusal =
                failed_reply(message_of(errors::unknown_prepared_statement, std::to_string(int_param(*req, 0))));
        } else {
            plan.text = it->second.first;
            plan.declaration = it->second.second;
            plan.values = params_from(*req, 1);
        }
    } else if (proc == "sp_unprepare") {
        prepared_.erase(int_param(*req, 0));
        plan.label = "<unprepare>";
    } else {
        plan.label = "<rpc " + req->proc_name + ">";
        plan.refusal = failed_reply(message_of(errors::unknown_procedure.in_state(1), req->proc_name));
    }
    return plan;
}

// ------------------------------------------------------------------- helpers

bool client_session::reply(const std::string& tokens) {
    return send_all(fd_, tds::packetize(tds::pkt_reply, tokens, packet_size_, spid_, packet_id_));
}

// --delay-ms: a request is held before it runs, as a busy server would hold
// it. An ATTENTION arriving meanwhile cancels it unrun, and is acknowledged
// at once, as clients that time out wait for that.
client_session::hold_result client_session::hold() {
    if (opts_.delay_ms <= 0) return hold_result::run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts_.delay_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return hold_result::run;
        pollfd p{fd_, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return hold_result::run;
        std::uint8_t next_type = 0;
        std::string next;
        if (!read_message(fd_, next_type, next)) return hold_result::gone;
        // Without MARS nothing but ATTENTION may come before the answer.
        return next_type == tds::pkt_attention ? hold_result::cancelled : hold_result::gone;
    }
}

// A request held and not run: the client cancelled it (its response ends
// at once, then comes the acknowledgement), or left.
bool client_session::after_hold(hold_result h) {
    if (h == hold_result::gone) return false;
    tds::token_writer w = reply_writer();
    w.done(0);
    return reply(w.bytes()) && acknowledge_attention();
}

// The acknowledgement is a message of its own holding only the DONE, after
// the cancelled request's own end ([MS-TDS] 2.2.1.7, 3.3.5.9): a client
// reads the request's response to its end, then waits for it.
bool client_session::acknowledge_attention() {
    tds::token_writer w = reply_writer();
    w.done(tds::done_attn);
    return reply(w.bytes());
}

// While a request waits for a lock the engine asks now and then whether the
// client still wants the answer: its ATTENTION (a query timeout) or its
// disconnect ends the wait at once, so no thread is left waiting for a
// client that is gone.
bool client_session::client_interrupts() {
    if (client_ != client_state::waiting) return true;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    std::uint8_t next_type = 0;
    std::string next;
    // Without MARS nothing but ATTENTION may come before the answer.
    client_ = read_message(fd_, next_type, next) && next_type == tds::pkt_attention ? client_state::attention
                                                                                   : client_state::gone;
    return true;
}

// Sends a request's reply, or for a request the client cancelled meanwhile
// the acknowledgement instead. False when the connection must end.
bool client_session::answer(const std::string& tokens) {
    if (client_ == client_state::gone) return false;
    if (!reply(tokens)) return false;
    if (client_ == client_state::attention) {
        client_ = client_state::waiting;
        return acknowledge_attention();
    }
    return true;
}

// A writer for this connection's version; the reply to a request that
// reset the connection opens with the reset's acknowledgement.
tds::token_writer client_session::reply_writer() {
    tds::token_writer w(proto_);
    if (reset_pending_) w.envchange_reset();
    reset_pending_ = false;
    return w;
}

void client_session::append(batch_reply& to, batch_reply more) {
    for (auto& item : more.items) to.items.push_back(std::move(item));
    if (to.first_error == 0) to.first_error = more.first_error;
}

// Runs statement text as a batch: a --fail rule, or the engine.
batch_reply client_session::run_text(const std::string& text) {
    for (const auto& rule : opts_.fail_rules)
        if (std::regex_search(text, rule.regex)) return failed_reply(rule_failure(rule));
    try {
        return conn_->execute_batch(text);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sqlserver-standin: connection %d: engine failure: %s\n", conn_id_, e.what());
        return failed_reply(message_of(errors::server_internal_error, e.what()));
    }
}

// --drop-after: true when this batch is the one to vanish on.
bool client_session::drop_now() {
    ++batches_;
    return opts_.drop_after > 0 && batches_ >= opts_.drop_after;
}

// --silent-at: a server that has stopped answering but keeps the connection
// open. Whatever the client sends is read and dropped, ATTENTION included,
// until it closes its end; then its transaction is rolled back as on any
// disconnect.
void client_session::go_silent() {
    char sink[4096];
    for (;;) {
        ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    conn_.reset();
}

// --drop-at and --silent-at count every request after the login, so that a
// test can cut a connection at any request, commits included.
client_session::fault client_session::request_fault() {
    ++requests_;
    if (opts_.silent_at > 0 && requests_ >= opts_.silent_at) return fault::silent;
    if (opts_.drop_at > 0 && requests_ >= opts_.drop_at) return fault::drop;
    return fault::none;
}

}  // namespace standin
