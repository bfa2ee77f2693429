// Placeholder engine: checks logins and refuses every batch. Replaced by the
// SQLite-backed T-SQL engine.
#include "engine.h"

namespace standin {

struct engine::impl {
    std::vector<login_entry> logins;
};

namespace {
class stub_connection : public connection {
public:
    batch_reply execute_batch(const std::string&) override {
        batch_reply r;
        r.items.push_back(server_message{102, 1, 15, "Incorrect syntax near 'x'.", "", 1});
        r.items.push_back(statement_done{false, 0, true});
        r.first_error = 102;
        return r;
    }
    batch_reply begin_transaction() override { return {}; }
    batch_reply commit_transaction(bool) override { return {}; }
    batch_reply rollback_transaction(bool) override { return {}; }
    std::string current_database() const override { return "master"; }
    int trancount() const override { return 0; }
    std::uint64_t transaction_descriptor() const override { return 0; }
};
}  // namespace

engine::engine(std::vector<login_entry> logins) : impl_(std::make_unique<impl>()) {
    impl_->logins = std::move(logins);
}
engine::~engine() = default;

bool engine::run_fixture(const std::string&, std::string&) { return true; }

login_result engine::login(const std::string& user, const std::string& password,
                           const std::string&) {
    login_result r;
    for (const auto& l : impl_->logins)
        if (l.name == user && l.password == password) {
            r.conn = std::make_unique<stub_connection>();
            r.database = "master";
            return r;
        }
    r.error = server_message{18456, 1, 14, "Login failed for user '" + user + "'.", "", 1};
    return r;
}

std::string engine::dump_json() { return "{\"databases\":{}}"; }

}  // namespace standin
