#pragma once
// The main window on Linux, drawn with Qt: the banner, the texts, the upgrade
// and exit buttons, the developer controls (build and run the script package,
// the list of packaged names, and whether the upgrade runs the package) and
// the progress line. What the handlers decide lives in upgrade_window; this
// class draws it and passes the operator's actions on.

#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/logic/upgrade_window.h"
#include "app/logic/window_view.h"
#include "common/ui_services.h"
#include "session/database_session.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;

namespace velmora::app {

// The developer's script folder, as the build sets it.
std::string default_script_folder();

class w_db_upgrade : public QWidget, private window_view {
public:
    // developer_mode is fixed per program at build time; the window only obeys it.
    w_db_upgrade(database_session& sqlca, ui_services& ui, bool developer_mode,
                 std::string script_folder = default_script_folder(), QWidget* parent = nullptr);
    ~w_db_upgrade() override;

    // Runs the open handler, then shows the window centred. ue_postopen follows
    // once the window has been painted.
    void open();

    const std::string& runpath() const { return logic_.runpath(); }
    bool brenholt_found() const { return logic_.brenholt_found(); }
    const std::string& brenholt_name() const { return logic_.brenholt_name(); }
    bool postopen_done() const { return logic_.postopen_done(); }
    // A command runs in the background; the window takes no input meanwhile.
    bool busy() const { return logic_.busy(); }

    // Handlers, public so that a caller can drive them without the mouse.
    void cb_1_clicked() { logic_.cb_1_clicked(); }
    void cb_2_clicked() { logic_.cb_2_clicked(); }
    void cb_put_clicked() { logic_.cb_put_clicked(); }
    void cb_get_clicked() { logic_.cb_get_clicked(); }

    // Fills lb_1 with package names given as GBK bytes, in the package's order.
    void show_package_names(const std::vector<std::string>& gbk_names) override;

    // The progress line's text for state, as it fits the line's two rows.
    QString progress_line_text(const progress_state& state) const;

    // The outer size the window opens with, frame included.
    static constexpr int frame_width = 498;
    static constexpr int frame_height = 360;

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    // window_view
    void set_developer_controls_visible(bool visible) override;
    void set_upgrade_enabled(bool enabled) override;
    bool package_box_checked() const override;
    void close_window() override { close(); }
    void command_started() override;
    void command_finished() override;
    void run_in_background(std::function<void()> work, std::function<void()> done) override;
    void call_on_window_thread(const std::function<void()>& f) override;

    void create_controls();
    void show_progress();
    void fit_frame_and_centre();

    upgrade_window logic_;
    bool postopen_pending_ = false;
    bool frame_fitted_ = false;
    class worker;
    std::unique_ptr<worker> worker_;

    QLabel* update_date_label_ = nullptr;  // st_4
    QLabel* banner_ = nullptr;             // st_8
    QLabel* banner_panel_ = nullptr;       // st_7
    QCheckBox* package_box_ = nullptr;     // cbx_proc
    QListWidget* package_list_ = nullptr;  // lb_1
    QPushButton* put_button_ = nullptr;    // cb_put
    QPushButton* get_button_ = nullptr;    // cb_get
    QLabel* update_date_ = nullptr;        // st_3
    QLabel* backup_notice_ = nullptr;      // st_2
    QLabel* purpose_ = nullptr;            // st_1
    QPushButton* exit_button_ = nullptr;   // cb_2
    QPushButton* upgrade_button_ = nullptr;  // cb_1
    QGroupBox* frame_ = nullptr;           // gb_1
    QLabel* progress_line_ = nullptr;
    QLabel* progress_object_ = nullptr;
    QProgressBar* progress_bar_ = nullptr;
    QTimer* progress_timer_ = nullptr;
};

}  // namespace velmora::app
