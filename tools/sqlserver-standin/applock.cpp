#include "sqlserver-standin/applock.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "sqlserver-standin/error_catalogue.h"

namespace standin {

bool applock_compatible(unsigned held, unsigned requested) {
    // SQL Server's lock compatibility, each mode against the modes it admits
    // next to itself (the relation is symmetric).
    auto admits = [](unsigned mode) -> unsigned {
        switch (mode) {
        case applock_intent_shared: return applock_intent_shared | applock_shared | applock_update | applock_intent_exclusive;
        case applock_shared: return applock_intent_shared | applock_shared | applock_update;
        case applock_update: return applock_intent_shared | applock_shared;
        case applock_intent_exclusive: return applock_intent_shared | applock_intent_exclusive;
        default: return 0;  // exclusive
        }
    };
    for (unsigned bit = 1; bit <= applock_exclusive; bit <<= 1)
        if ((requested & bit) && (held & ~admits(bit))) return false;
    return true;
}

// ------------------------------------------------------------------- table

bool applock_table::grantable(const lock& l, owner who, unsigned mode, std::uint64_t ticket) {
    for (const auto& [o, g] : l.grants)
        if (o.session != who.session && !applock_compatible(g.modes, mode)) return false;
    if (l.grants.count(who)) return true;  // a conversion does not queue
    for (const auto& w : l.queue)
        if (w.ticket < ticket && w.who.session != who.session && !applock_compatible(w.mode, mode)) return false;
    return true;
}

void applock_table::drop_waiter(const std::string& resource, std::uint64_t ticket) {
    auto it = locks_.find(resource);
    if (it == locks_.end()) return;
    auto& q = it->second.queue;
    q.erase(std::remove_if(q.begin(), q.end(), [&](const waiter& w) { return w.ticket == ticket; }), q.end());
    if (it->second.grants.empty() && q.empty()) locks_.erase(it);
}

applock_table::outcome applock_table::acquire(const std::string& resource, owner who, unsigned mode,
                                              int timeout_ms, const std::function<bool()>& interrupted) {
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> guard(mu_);
    const std::uint64_t ticket = next_ticket_++;
    // The node stays put while this request waits in its queue: a lock is
    // erased only when nothing holds or waits for it.
    lock& l = locks_[resource];
    auto take = [&] {
        grant& g = l.grants[who];
        g.modes |= mode;
        ++g.references;
    };
    if (grantable(l, who, mode, ticket)) {
        take();
        return outcome::granted;
    }
    if (timeout_ms == 0) {
        if (l.grants.empty() && l.queue.empty()) locks_.erase(resource);
        return outcome::timed_out;
    }
    l.queue.push_back({who, mode, ticket});
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        auto slice = std::chrono::milliseconds(20);
        if (timeout_ms > 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            slice = std::max(std::chrono::milliseconds(0), std::min(slice, left));
        }
        changed_.wait_for(guard, slice);
        if (grantable(l, who, mode, ticket)) {
            auto& q = l.queue;
            q.erase(std::remove_if(q.begin(), q.end(), [&](const waiter& w) { return w.ticket == ticket; }), q.end());
            take();
            changed_.notify_all();  // those queued behind this request judge again
            return outcome::granted_after_wait;
        }
        if (timeout_ms > 0 && clock::now() >= deadline) {
            drop_waiter(resource, ticket);
            changed_.notify_all();
            return outcome::timed_out;
        }
        // The check may read from the client's socket: not with the table locked.
        guard.unlock();
        const bool stop = interrupted && interrupted();
        guard.lock();
        if (stop) {
            drop_waiter(resource, ticket);
            changed_.notify_all();
            return outcome::interrupted;
        }
    }
}

bool applock_table::release(const std::string& resource, owner who) {
    std::lock_guard<std::mutex> guard(mu_);
    auto it = locks_.find(resource);
    if (it == locks_.end()) return false;
    auto g = it->second.grants.find(who);
    if (g == it->second.grants.end()) return false;
    if (--g->second.references == 0) {
        it->second.grants.erase(g);
        if (it->second.grants.empty() && it->second.queue.empty()) locks_.erase(it);
        changed_.notify_all();
    }
    return true;
}

bool applock_table::would_grant(const std::string& resource, owner who, unsigned mode) {
    std::lock_guard<std::mutex> guard(mu_);
    auto it = locks_.find(resource);
    return it == locks_.end() || grantable(it->second, who, mode, next_ticket_);
}

void applock_table::release_all(int session, held_by which) {
    std::lock_guard<std::mutex> guard(mu_);
    bool any = false;
    for (auto it = locks_.begin(); it != locks_.end();) {
        auto& grants = it->second.grants;
        for (auto g = grants.begin(); g != grants.end();) {
            const bool matches = which == held_by::either || g->first.transaction == (which == held_by::transaction);
            if (g->first.session == session && matches) {
                g = grants.erase(g);
                any = true;
            } else {
                ++g;
            }
        }
        if (grants.empty() && it->second.queue.empty()) it = locks_.erase(it);
        else ++it;
    }
    if (any) changed_.notify_all();
}

// -------------------------------------------------------------- procedures

namespace {

bool same_word(const std::string& a, const char* b) {
    // The procedures compare options under the database's case-insensitive
    // collation, trailing blanks ignored.
    std::string t = a;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    std::size_t n = std::char_traits<char>::length(b);
    if (t.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(t[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The first n characters of UTF-8 text, as a declared length cuts it.
std::string first_chars(const std::string& s, std::size_t n) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == n) return s.substr(0, i);
            ++chars;
        }
    }
    return s;
}

// A message raised inside a procedure, at a line of it.
server_message raised_in(server_message m, const char* procedure, int line) {
    m.procedure = procedure;
    m.line = line;
    return m;
}

// Raised by the extended procedure both procedures call.
server_message xp_error(server_message m) { return raised_in(std::move(m), "xp_userlock", 1); }

struct parameter {
    const char* name;
    bool has_default;
};

const std::vector<parameter>& parameters_of(bool release) {
    static const std::vector<parameter> get = {
        {"@Resource", true}, {"@LockMode", false}, {"@LockOwner", true}, {"@LockTimeout", true}, {"@DbPrincipal", true}};
    static const std::vector<parameter> rel = {{"@Resource", true}, {"@LockOwner", true}, {"@DbPrincipal", true}};
    return release ? rel : get;
}

// An argument as bound: given (and not DEFAULT), and its value.
struct bound_value {
    bool given = false;
    std::optional<std::string> value;
};

// Binds arguments to parameters as SQL Server does for any procedure call.
std::optional<server_message> bind(bool release, const std::vector<applock_argument>& args,
                                   std::map<std::string, bound_value>& out) {
    const char* proc = release ? "sp_releaseapplock" : "sp_getapplock";
    const auto& params = parameters_of(release);
    std::vector<std::string> seen;
    bool named = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const applock_argument& a = args[i];
        const parameter* p = nullptr;
        if (!a.name.empty()) {
            named = true;
            for (const auto& q : params)
                if (same_word(a.name, q.name)) p = &q;
            if (!p)
                return message_of(errors::not_a_parameter, a.name, proc);
            if (std::find(seen.begin(), seen.end(), p->name) != seen.end())
                return message_of(errors::parameter_given_twice, p->name);
        } else {
            if (named)
                return message_of(errors::positional_after_named, std::to_string(i + 1));
            if (i >= params.size())
                return message_of(errors::too_many_arguments, proc);
            p = &params[i];
        }
        seen.push_back(p->name);
        if (a.is_default) continue;
        out[p->name] = {true, a.value};
    }
    for (const auto& p : params)
        if (!p.has_default && !out[p.name].given)
            return message_of(errors::parameter_not_supplied, proc, p.name);
    return std::nullopt;
}

// @LockTimeout is an int: its text converts, or the call fails as a
// parameter conversion does.
std::optional<server_message> to_int(const std::string& text, int& out) {
    std::size_t b = text.find_first_not_of(' ');
    std::size_t e = text.find_last_not_of(' ');
    std::string t = b == std::string::npos ? "" : text.substr(b, e - b + 1);
    std::size_t digits = !t.empty() && (t[0] == '-' || t[0] == '+') ? 1 : 0;
    errno = 0;
    long long v = t.size() > digits && t.find_first_not_of("0123456789", digits) == std::string::npos
                      ? std::strtoll(t.c_str(), nullptr, 10)
                      : LLONG_MAX;
    if (errno == ERANGE || v > INT_MAX || v < INT_MIN)
        return message_of(errors::conversion_error.in_state(1), "varchar", "int");
    out = static_cast<int>(v);
    return std::nullopt;
}

std::optional<unsigned> mode_of(const std::string& text) {
    if (same_word(text, "Shared")) return applock_shared;
    if (same_word(text, "Update")) return applock_update;
    if (same_word(text, "IntentShared")) return applock_intent_shared;
    if (same_word(text, "IntentExclusive")) return applock_intent_exclusive;
    if (same_word(text, "Exclusive")) return applock_exclusive;
    return std::nullopt;
}

// Transaction (true), Session (false), or nothing for anything else.
std::optional<bool> owner_of(const std::string& text) {
    if (same_word(text, "Transaction")) return true;
    if (same_word(text, "Session")) return false;
    return std::nullopt;
}

// What a call asks for once its arguments have passed the procedure's checks.
struct applock_call {
    unsigned mode = 0;
    bool transaction = true;  // owned by the transaction, else by the session
    int timeout = -1;
    std::string principal = "public";
    std::string resource;
};

// The procedure's checks, in its order; a failure is the message it raises.
std::optional<server_message> check_call(bool release, std::map<std::string, bound_value>& v,
                                         const applock_context& ctx, applock_call& call) {
    const char* proc = release ? "sp_releaseapplock" : "sp_getapplock";
    if (!release) {
        std::optional<std::string> written;
        if (v["@LockMode"].value) written = first_chars(*v["@LockMode"].value, 32);
        auto m = written ? mode_of(*written) : std::nullopt;
        if (!m) return raised_in(message_of(errors::option_not_recognized, written.value_or("(null)"), "@LockMode"), proc, 26);
        call.mode = *m;
    }
    std::optional<std::string> owner_text = std::string("Transaction");
    if (v["@LockOwner"].given) {
        owner_text.reset();
        if (v["@LockOwner"].value) owner_text = first_chars(*v["@LockOwner"].value, 32);
    }
    auto transaction = owner_text ? owner_of(*owner_text) : std::nullopt;
    if (!transaction)
        return raised_in(message_of(errors::option_not_recognized, owner_text.value_or("(null)"), "@LockOwner"), proc,
                         release ? 20 : 39);
    call.transaction = *transaction;
    if (!release && call.transaction && !ctx.in_transaction)
        return raised_in(message_of(errors::transactional_lock_outside_transaction), proc, 52);
    if (!release && call.timeout < -1) return xp_error(message_of(errors::application_lock_timeout_invalid));
    if (!v["@Resource"].value) return xp_error(message_of(errors::application_lock_resource_invalid));
    if (v["@DbPrincipal"].given) {
        if (!v["@DbPrincipal"].value) return xp_error(message_of(errors::application_lock_principal_invalid));
        call.principal = first_chars(*v["@DbPrincipal"].value, 128);
    }
    // Every login here is the database owner: it may use public, dbo and
    // db_owner, and nothing else exists.
    if (!same_word(call.principal, "public") && !same_word(call.principal, "dbo") && !same_word(call.principal, "db_owner"))
        return xp_error(message_of(errors::principal_missing, call.principal));
    if (release && call.transaction && !ctx.in_transaction) return xp_error(message_of(errors::needs_user_transaction));
    call.resource = first_chars(*v["@Resource"].value, 255);
    return std::nullopt;
}

// The lock's name in the table. Resource names compare as binary: case
// matters. The principal is one of three fixed names and does not.
std::string lock_key(const applock_context& ctx, const applock_call& call) {
    std::string lowered;
    for (char c : call.principal) lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!lowered.empty() && lowered.back() == ' ') lowered.pop_back();
    return std::to_string(ctx.dbid) + '\x1f' + lowered + '\x1f' + call.resource;
}

}  // namespace

bool is_applock_procedure(const std::string& name) {
    return same_word(name, "sp_getapplock") || same_word(name, "sp_releaseapplock");
}

std::optional<int> applock_test(applock_table& table, int session, int dbid, const std::string& principal,
                                const std::string& resource, const std::string& mode, const std::string& owner) {
    const std::optional<unsigned> m = mode_of(mode);
    const std::optional<bool> transaction = owner_of(owner);
    if (!m || !transaction) return std::nullopt;
    if (!same_word(principal, "public") && !same_word(principal, "dbo") && !same_word(principal, "db_owner"))
        return std::nullopt;
    applock_context ctx{table, session, dbid, false, 0, {}};
    applock_call call;
    call.principal = first_chars(principal, 128);
    call.resource = first_chars(resource, 255);
    return table.would_grant(lock_key(ctx, call), {session, *transaction}, *m) ? 1 : 0;
}

applock_outcome run_applock_procedure(bool release, const std::vector<applock_argument>& args,
                                      const applock_context& ctx) {
    applock_outcome out;
    std::map<std::string, bound_value> v;
    if (auto failure = bind(release, args, v)) {
        out.refused = failure;
        return out;
    }
    applock_call call;
    call.timeout = ctx.lock_timeout_ms;
    if (!release && v["@LockTimeout"].value) {
        if (auto failure = to_int(*v["@LockTimeout"].value, call.timeout)) {
            out.refused = failure;
            return out;
        }
    }
    auto fail = [&](server_message m) {
        out.messages.push_back(std::move(m));
        out.status = -999;
        return out;
    };
    if (auto failure = check_call(release, v, ctx, call)) return fail(std::move(*failure));
    const std::string key = lock_key(ctx, call);
    const applock_table::owner who{ctx.session, call.transaction};
    if (release) {
        if (!ctx.table.release(key, who))
            return fail(xp_error(message_of(errors::application_lock_not_held, call.principal, call.resource)));
        out.status = 0;
        return out;
    }
    const int timeout = call.timeout;
    const unsigned mode = call.mode;
    switch (ctx.table.acquire(key, who, mode, timeout, ctx.interrupted)) {
    case applock_table::outcome::granted: out.status = 0; break;
    case applock_table::outcome::granted_after_wait: out.status = 1; break;
    case applock_table::outcome::timed_out: out.status = -1; break;
    case applock_table::outcome::interrupted:
        out.status = -2;
        out.interrupted = true;
        break;
    }
    return out;
}

}  // namespace standin
