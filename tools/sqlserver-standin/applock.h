#pragma once
// Application locks: sp_getapplock and sp_releaseapplock. A lock is a name in
// a database, shared by every connection of the engine, held in SQL Server's
// lock modes by a session or by a session's transaction, counted per owner.
// The procedures' parameters, checks, messages and return codes follow SQL
// Server's; the engine only evaluates the arguments and reports the outcome.

#include <compare>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sqlserver-standin/engine.h"

namespace standin {

// Lock modes as bits: an owner that asked for several modes holds them all
// (Shared then IntentExclusive holds both, as SQL Server's SIX does) until it
// lets go of its last reference.
enum applock_mode : unsigned {
    applock_intent_shared = 1,
    applock_shared = 2,
    applock_update = 4,
    applock_intent_exclusive = 8,
    applock_exclusive = 16,
};

// Whether a request for `requested` can be granted next to `held` (any bits).
bool applock_compatible(unsigned held, unsigned requested);

class applock_table {
public:
    struct owner {
        int session = 0;
        bool transaction = false;  // owned by the session's transaction, else by the session
        auto operator<=>(const owner&) const = default;
    };
    enum class outcome { granted, granted_after_wait, timed_out, interrupted };

    // Locks of one session never block each other, whichever owner holds
    // them. A new request queues behind earlier incompatible waiters, so a
    // stream of shared requests cannot starve an exclusive one; an owner that
    // already holds the lock converts without queueing. timeout_ms -1 waits
    // for ever, 0 not at all; `interrupted` is asked between short waits.
    outcome acquire(const std::string& resource, owner who, unsigned mode, int timeout_ms,
                    const std::function<bool()>& interrupted);
    // Drops one reference; false when `who` holds nothing there.
    bool release(const std::string& resource, owner who);
    // Whether a request for mode would be granted at once now; nothing is taken.
    bool would_grant(const std::string& resource, owner who, unsigned mode);
    // What a session's transaction holds, what the session itself holds
    // (owner Session), or both.
    enum class held_by { transaction, session, either };
    void release_all(int session, held_by which);

private:
    struct grant {
        unsigned modes = 0;
        int references = 0;
    };
    struct waiter {
        owner who;
        unsigned mode = 0;
        std::uint64_t ticket = 0;
    };
    struct lock {
        std::map<owner, grant> grants;
        std::vector<waiter> queue;
    };
    static bool grantable(const lock& l, owner who, unsigned mode, std::uint64_t ticket);
    void drop_waiter(const std::string& resource, std::uint64_t ticket);

    std::mutex mu_;
    std::condition_variable changed_;
    std::map<std::string, lock> locks_;
    std::uint64_t next_ticket_ = 1;
};

// One argument of the EXEC, evaluated: its name as written ("@LockMode"), or
// empty when positional; its value as text, nothing for NULL.
struct applock_argument {
    std::string name;
    std::optional<std::string> value;
    bool is_default = false;  // DEFAULT: the parameter's own default
};

struct applock_context {
    applock_table& table;
    int session = 0;
    int dbid = 0;                 // the lock lives in the current database
    bool in_transaction = false;
    int lock_timeout_ms = -1;     // the session's LOCK_TIMEOUT: @LockTimeout's default
    std::function<bool()> interrupted;
};

struct applock_outcome {
    // The call could not be made (arguments that do not bind or convert): a
    // statement error, and no return status.
    std::optional<server_message> refused;
    std::vector<server_message> messages;  // raised inside the procedure, in order
    int status = 0;                        // the procedure's return status
    bool interrupted = false;              // the client ended the wait
};

// "sp_getapplock" or "sp_releaseapplock" in any case.
bool is_applock_procedure(const std::string& name);

// APPLOCK_TEST(principal, resource, mode, owner) in database dbid: 1 when
// the session's owner would be granted the lock now, 0 when not; nullopt
// (NULL) for a mode, owner or principal it does not know. Takes nothing.
std::optional<int> applock_test(applock_table& table, int session, int dbid, const std::string& principal,
                                const std::string& resource, const std::string& mode, const std::string& owner);

// Runs sp_getapplock (release false) or sp_releaseapplock.
applock_outcome run_applock_procedure(bool release, const std::vector<applock_argument>& args,
                                      const applock_context& ctx);

}  // namespace standin
