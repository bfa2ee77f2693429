#include "app/logic/upgrade_window.h"

#include <vector>

#include "common/app_names.h"
#include "common/gbk.h"
#include "common/native_path.h"
#include "package/package_builder.h"
#include "package/package_runner.h"
#include "session/connect_db.h"
#include "upgrade/upgrade_command.h"

namespace velmora::app {

// The services the background work asks for, answered on the window's thread:
// a message box is shown there, modal, and the work waits until the operator
// has closed it, exactly as it would have on one thread.
class upgrade_window::background_ui : public ui_services {
public:
    background_ui(ui_services& ui, window_view& view) : ui_(ui), view_(view) {}
    void message_box(const std::string& title, const std::string& text) override {
        view_.call_on_window_thread([&] { ui_.message_box(title, text); });
    }
    void beep() override {
        view_.call_on_window_thread([&] { ui_.beep(); });
    }
    void busy_begin() override {
        view_.call_on_window_thread([&] { ui_.busy_begin(); });
    }
    void busy_end() override {
        view_.call_on_window_thread([&] { ui_.busy_end(); });
    }

private:
    ui_services& ui_;
    window_view& view_;
};

// Keeps the latest word from the background work. The view asks for it at
// its own pace (a timer), so a package of thousands of small records costs
// one copy per record and no painting beyond the view's rate.
class upgrade_window::progress_tracker : public progress_sink {
public:
    void progress(const progress_event& e) override {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (e.what) {
            case progress_event::kind::pass_started:
                state_ = progress_state{};
                state_.pass = e.pass;
                state_.database = e.database;
                break;
            case progress_event::kind::step_started:
                state_.step = e.step;
                state_.index = state_.count = 0;
                state_.name.clear();
                break;
            case progress_event::kind::object_started:
                state_.step.clear();
                state_.index = e.index;
                state_.count = e.count;
                state_.name = e.name;
                break;
        }
    }
    void start(const std::string& database) {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = progress_state{};
        state_.database = database;
        running_ = true;
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    std::optional<progress_state> now() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return std::nullopt;
        return state_;
    }

private:
    mutable std::mutex mutex_;
    bool running_ = false;
    progress_state state_;
};

namespace {

// The first line around the database's name, which a view may shorten.
struct line_parts {
    std::string before, name, after;
};

line_parts first_line_parts(const progress_state& s) {
    line_parts p;
    if (s.pass == 1) p = {"第 1 遍：升级数据库“", s.database, "”"};
    else if (s.pass == 2) p = {"第 2 遍：升级特殊客户数据库“", s.database, "”"};
    else p.before = "执行数据库升级程序包";
    if (!s.step.empty()) p.after += "，内置升级：" + s.step;
    else if (s.count > 0) p.after += "，对象 " + std::to_string(s.index) + "/" + std::to_string(s.count);
    return p;
}

// Byte offsets of the UTF-8 characters of text, and its end.
std::vector<std::size_t> character_starts(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    starts.push_back(text.size());
    return starts;
}

}  // namespace

std::string progress_state::first_line() const {
    const line_parts p = first_line_parts(*this);
    return p.before + p.name + p.after;
}

std::string progress_state::first_line_fitting(const std::function<bool(const std::string&)>& fits) const {
    const line_parts p = first_line_parts(*this);
    const std::string whole = p.before + p.name + p.after;
    if (p.name.empty() || fits(whole)) return whole;
    // The name keeping `kept` of its characters, its first and last ones.
    const std::vector<std::size_t> at = character_starts(p.name);
    const std::size_t characters = at.size() - 1;
    auto shortened = [&](std::size_t kept) {
        const std::size_t head = (kept + 1) / 2, tail = kept / 2;
        return p.before + p.name.substr(0, at[head]) + "…" + p.name.substr(at[characters - tail]) + p.after;
    };
    // The most characters that fit; fewer never take more room.
    std::size_t lo = 0, hi = characters - 1;
    while (lo < hi) {
        const std::size_t mid = (lo + hi + 1) / 2;
        if (fits(shortened(mid))) lo = mid;
        else hi = mid - 1;
    }
    return shortened(lo);
}

std::string progress_state::second_line() const { return count > 0 && step.empty() ? name : std::string(); }

upgrade_window::upgrade_window(database_session& sqlca, ui_services& ui, window_view& view, window_options options)
    : sqlca_(sqlca),
      ui_(ui),
      view_(view),
      options_(std::move(options)),
      background_ui_(std::make_unique<background_ui>(ui, view)),
      progress_(std::make_unique<progress_tracker>()) {}

upgrade_window::~upgrade_window() = default;

void upgrade_window::open() {
    view_.set_developer_controls_visible(options_.developer_mode);
    is_runpath = current_run_directory();
}

void upgrade_window::ue_postopen() {
    const bool connected = wf_connect_db(sqlca_, ui_, special_);
    if (!connected) {
        ui_.message_box(gs_appname, "不能连接到数据库");
        upgrade_enabled_ = false;
        view_.set_upgrade_enabled(false);
    }
    postopen_done_ = true;
}

// Runs a command away from the window's thread. The session is used by that
// command alone meanwhile: every handler is refused while busy().
void upgrade_window::start_command(std::function<void(ui_services&, progress_sink&)> command,
                                   std::function<void()> after) {
    busy_ = true;
    progress_->start(sqlca_.database_name);
    view_.command_started();
    view_.run_in_background([this, command = std::move(command)] { command(*background_ui_, *progress_); },
                            [this, after = std::move(after)] {
                                progress_->stop();
                                busy_ = false;
                                if (after) after();
                                view_.command_finished();
                            });
}

std::optional<progress_state> upgrade_window::progress_now() const { return progress_->now(); }

// The command runs once per start: afterwards the button stays greyed.
void upgrade_window::cb_1_clicked() {
    if (busy() || !upgrade_enabled_) return;
    upgrade_enabled_ = false;  // a second press while it runs does nothing either
    upgrade_options options{is_runpath, view_.package_box_checked(), special_};
    start_command(
        [this, options](ui_services& ui, progress_sink& progress) mutable {
            options.progress = &progress;
            run_upgrade_command(sqlca_, ui, options);
        },
        [this] { view_.set_upgrade_enabled(false); });
}

void upgrade_window::cb_2_clicked() {
    if (!busy()) view_.close_window();
}

// The operator learns the outcome from the runner's own messages.
void upgrade_window::cb_put_clicked() {
    if (busy()) return;
    start_command([this](ui_services& ui, progress_sink& progress) { run_package(is_runpath, sqlca_, ui, &progress); },
                  nullptr);
}

// The list shows what the builder listed, in the package's order, also when
// it refused to write.
void upgrade_window::cb_get_clicked() {
    if (busy()) return;
    const build_result result = build_package(options_.script_folder, is_runpath, ui_);
    view_.show_package_names(result.names);
}

}  // namespace velmora::app
