#pragma once
// The main window: the banner, the texts, the upgrade and exit buttons, and
// the developer controls (build and run the script package, the list of
// packaged names, and whether the upgrade runs the package).

#include <QWidget>

#include <string>

#include "sqlca.h"
#include "ui_services.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace velmora::app {

class w_db_upgrade : public QWidget {
public:
    // developer_mode is fixed per program at build time; the window only obeys it.
    w_db_upgrade(transaction& sqlca, ui_services& ui, bool developer_mode, QWidget* parent = nullptr);

    // Runs the open handler, then shows the window centred. ue_postopen follows
    // once the window has been painted.
    void open();

    // State the handlers share.
    const std::string& runpath() const { return is_runpath; }
    bool brenholt_found() const { return ib_brenholt; }
    const std::string& brenholt_name() const { return is_brenholt; }
    bool postopen_done() const { return postopen_done_; }

    // Handlers, public so that a caller can drive them without the mouse.
    void cb_1_clicked();
    void cb_2_clicked();
    void cb_put_clicked();
    void cb_get_clicked();

    // Fills lb_1 with package names given as GBK bytes.
    void show_package_names(const std::vector<std::string>& gbk_names);

    // The outer size the window opens with, frame included.
    static constexpr int frame_width = 498;
    static constexpr int frame_height = 360;

protected:
    bool event(QEvent* e) override;

private:
    void create_controls();
    void open_handler();
    void ue_postopen();
    void fit_frame_and_centre();

    transaction& sqlca_;
    ui_services& ui_;
    const bool developer_mode_;

    std::string is_runpath;
    bool ib_brenholt = false;
    std::string is_brenholt;

    bool postopen_pending_ = false;
    bool postopen_done_ = false;
    bool frame_fitted_ = false;

    QLabel* st_4 = nullptr;
    QLabel* st_8 = nullptr;
    QLabel* st_7 = nullptr;
    QCheckBox* cbx_proc = nullptr;
    QListWidget* lb_1 = nullptr;
    QPushButton* cb_put = nullptr;
    QPushButton* cb_get = nullptr;
    QLabel* st_3 = nullptr;
    QLabel* st_2 = nullptr;
    QLabel* st_1 = nullptr;
    QPushButton* cb_2 = nullptr;
    QPushButton* cb_1 = nullptr;
    QGroupBox* gb_1 = nullptr;
};

// The run directory as the window records it: the full current directory and
// one separator, appended even when the directory already ends in one.
std::string current_run_directory();

}  // namespace velmora::app
