#include "w_db_upgrade.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>

#include <filesystem>
#include <system_error>

#include "app_icon.h"
#include "app_names.h"
#include "connect_db.h"
#include "gbk.h"
#include "layout_units.h"
#include "package_builder.h"
#include "package_runner.h"
#include "upgrade_command.h"


namespace velmora::app {

namespace {

#ifdef _WIN32
constexpr const char* developer_script_dir = "e:\\G\\velmora\\sql\\pr_tr\\";
#else
constexpr const char* developer_script_dir = VELMORA_SCRIPT_DIR;
#endif

const QColor background_grey(206, 207, 206);
const QColor banner_blue(166, 202, 240);

// 宋体 is SimSun; where it is missing, other CJK faces stand in before Qt's
// own fallback so that the Chinese texts keep a comparable width.
QFont songti(int point_size, bool bold = false, bool italic = false, bool underline = false) {
    QFont f;
    f.setFamilies({"SimSun", "宋体", "NSimSun", "Noto Serif CJK SC", "AR PL UMing CN",
                   "WenQuanYi Micro Hei", "WenQuanYi Zen Hei", "Droid Sans Fallback"});
    f.setPointSize(point_size);
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    f.setItalic(italic);
    f.setUnderline(underline);
    return f;
}

// 隶书 is LiSu; the banner is fixed pitch, so monospaced CJK faces come first
// among the substitutes.
QFont lishu(int point_size) {
    QFont f;
    f.setFamilies({"LiSu", "隶书", "STLiti", "WenQuanYi Zen Hei Mono", "WenQuanYi Micro Hei Mono",
                   "WenQuanYi Micro Hei", "Droid Sans Fallback"});
    f.setPointSize(point_size);
    f.setWeight(QFont::Normal);
    f.setFixedPitch(true);
    f.setStyleHint(QFont::TypeWriter);
    return f;
}

void place(QWidget* w, int x, int y, int width, int height) {
    w->setGeometry(units_to_px_x(x), units_to_px_y(y), units_to_px_x(width), units_to_px_y(height));
}

void colour(QWidget* w, const QColor& text, const QColor& back) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Window, back);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

QLabel* static_text(QWidget* parent, const char* name, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setTextFormat(Qt::PlainText);
    l->setFocusPolicy(Qt::NoFocus);
    return l;
}

QPushButton* push_button(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    b->setDefault(false);
    b->setFocusPolicy(Qt::StrongFocus);
    return b;
}

// The list keeps its names in the package's own order: the builder's order
// over the GBK bytes, not Qt's order of the Unicode text, which differs for
// Chinese names (GB2312 orders its common characters by pinyin, Unicode by
// radical).
class package_order_item : public QListWidgetItem {
public:
    explicit package_order_item(const std::string& gbk_name)
        : QListWidgetItem(QString::fromStdString(gbk_to_utf8_lossy(gbk_name))), gbk_name_(gbk_name) {}
    bool operator<(const QListWidgetItem& other) const override {
        if (const auto* o = dynamic_cast<const package_order_item*>(&other))
            return package_name_less(gbk_name_, o->gbk_name_);
        return QListWidgetItem::operator<(other);
    }

private:
    std::string gbk_name_;
};

// A static text whose underline stays visible: in a label as low as its font
// (13 px at 10 pt) a substitute face with taller metrics than 宋体 would push
// the underline below the bottom edge, so it is drawn at the last pixel row.
class underlined_text : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* e) override {
        QLabel::paintEvent(e);
        if (!font().underline() || text().isEmpty()) return;
        const QFontMetrics fm(font());
        const int baseline = (height() - fm.height()) / 2 + fm.ascent();
        if (baseline + fm.underlinePos() < height()) return;  // the font's own line shows
        QPainter p(this);
        p.setPen(QPen(palette().color(QPalette::WindowText), std::max(1, fm.lineWidth())));
        const int y = height() - 1;
        p.drawLine(0, y, fm.horizontalAdvance(text()), y);
    }
};

// A group box that only draws its etched frame: the styled one shades its
// inside, which would set the texts it frames apart from the window's grey.
class etched_group_box : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QRect frame = rect();
        frame.setTop(fontMetrics().height() / 2);  // where a caption would sit
        qDrawShadeRect(&p, frame, palette(), true, 1, 0);
    }
};

}  // namespace

std::string current_run_directory() {
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    // Without a current directory there is no run directory: an empty one keeps
    // file names relative, so they fail instead of landing in the root.
    if (ec) return {};
#ifdef _WIN32
    const auto u8 = cwd.u8string();
    return std::string(u8.begin(), u8.end()) + '\\';
#else
    return cwd.string() + '/';
#endif
}

w_db_upgrade::w_db_upgrade(transaction& sqlca, ui_services& ui, bool developer_mode, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      sqlca_(sqlca),
      ui_(ui),
      developer_mode_(developer_mode) {
    setObjectName(QStringLiteral("w_db_upgrade"));
    setWindowTitle(QStringLiteral("Velmora数据库升级"));
    setWindowIcon(database_icon());
    QPalette p = palette();
    p.setColor(QPalette::Window, background_grey);
    setPalette(p);
    setAutoFillBackground(true);
    resize(frame_width, frame_height);
    create_controls();
}

void w_db_upgrade::create_controls() {
    st_4 = static_text(this, "st_4", QStringLiteral("更新日期："));
    place(st_4, 1367, 380, 302, 52);
    st_4->setFont(songti(10));
    colour(st_4, QColor(255, 0, 0), background_grey);

    st_8 = static_text(this, "st_8", QStringLiteral("Velmora"));
    place(st_8, 32, 88, 2171, 164);
    st_8->setFont(lishu(28));
    st_8->setAlignment(Qt::AlignRight | Qt::AlignTop);
    colour(st_8, QColor(0, 0, 255), banner_blue);

    st_7 = static_text(this, "st_7", QString());
    place(st_7, 18, 4, 2194, 312);
    st_7->setFont(songti(11));
    st_7->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    colour(st_7, QColor(0, 0, 255), banner_blue);

    cbx_proc = new QCheckBox(QStringLiteral("Proc&&Trigger"), this);
    cbx_proc->setObjectName(QStringLiteral("cbx_proc"));
    place(cbx_proc, 663, 768, 466, 76);
    cbx_proc->setFont(songti(9, true));
    colour(cbx_proc, palette().color(QPalette::WindowText), QApplication::palette().color(QPalette::Button));
    cbx_proc->setChecked(true);
    cbx_proc->setFocusPolicy(Qt::ClickFocus);  // reachable by mouse, skipped by Tab

    lb_1 = new QListWidget(this);
    lb_1->setObjectName(QStringLiteral("lb_1"));
    place(lb_1, 1335, 596, 846, 476);
    lb_1->setFont(songti(10));
    lb_1->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    lb_1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    lb_1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    lb_1->setSortingEnabled(true);
    lb_1->setFocusPolicy(Qt::StrongFocus);

    cb_put = push_button(this, "cb_put", QStringLiteral("put"));
    place(cb_put, 366, 764, 288, 92);
    cb_put->setFont(songti(10));

    cb_get = push_button(this, "cb_get", QStringLiteral("get"));
    place(cb_get, 64, 764, 288, 92);
    cb_get->setFont(songti(10));

    st_3 = new underlined_text(QStringLiteral("2017-04-04"), this);
    st_3->setObjectName(QStringLiteral("st_3"));
    st_3->setTextFormat(Qt::PlainText);
    place(st_3, 1719, 380, 457, 52);
    st_3->setFont(songti(10, true, true, true));
    colour(st_3, QColor(255, 0, 0), background_grey);

    const QColor window_text = QPalette().color(QPalette::WindowText);

    st_2 = static_text(this, "st_2", QStringLiteral("运行本程序前，请先备份数据库！"));
    place(st_2, 178, 644, 905, 52);
    st_2->setFont(songti(10));
    colour(st_2, window_text, background_grey);

    st_1 = static_text(this, "st_1", QStringLiteral("此程序把用户数据库升级到最新版本，并保留其原有数据。"));
    place(st_1, 187, 544, 1559, 52);
    st_1->setFont(songti(10));
    colour(st_1, window_text, background_grey);

    cb_2 = push_button(this, "cb_2", QStringLiteral("退出(&E)"));
    place(cb_2, 1358, 1172, 439, 96);
    cb_2->setFont(songti(10));

    cb_1 = push_button(this, "cb_1", QStringLiteral("数据库升级(&U)"));
    place(cb_1, 114, 1172, 439, 96);
    cb_1->setFont(songti(10));

    gb_1 = new etched_group_box(this);
    gb_1->setObjectName(QStringLiteral("gb_1"));
    place(gb_1, 23, 320, 2194, 804);
    gb_1->setFont(songti(10));
    gb_1->setFocusPolicy(Qt::NoFocus);
    colour(gb_1, window_text, background_grey);
    gb_1->setAutoFillBackground(false);  // it frames the controls, it must not paint over them

    // Stacking: the first control of the list lies on top, the group box at the
    // bottom. Raising from the last to the first leaves exactly that order.
    QWidget* const stacking[] = {st_4, st_8, st_7, cbx_proc, lb_1, cb_put, cb_get,
                                 st_3, st_2, st_1, cb_2, cb_1, gb_1};
    for (auto it = std::rbegin(stacking); it != std::rend(stacking); ++it) (*it)->raise();

    // Tab order: the upgrade and exit buttons first, then the developer controls;
    // controls that share a place go left to right as they stand on screen.
    setTabOrder(cb_1, cb_2);
    setTabOrder(cb_2, cb_get);
    setTabOrder(cb_get, cb_put);
    setTabOrder(cb_put, lb_1);

    connect(cb_1, &QPushButton::clicked, this, [this] { cb_1_clicked(); });
    connect(cb_2, &QPushButton::clicked, this, [this] { cb_2_clicked(); });
    connect(cb_put, &QPushButton::clicked, this, [this] { cb_put_clicked(); });
    connect(cb_get, &QPushButton::clicked, this, [this] { cb_get_clicked(); });
}

void w_db_upgrade::open() {
    open_handler();
    fit_frame_and_centre();
    show();
}

void w_db_upgrade::open_handler() {
    for (QWidget* w : std::initializer_list<QWidget*>{cb_get, cb_put, lb_1, cbx_proc}) w->setVisible(developer_mode_);
    is_runpath = current_run_directory();
    // ue_postopen is posted once the window has been painted (see event()),
    // so the operator sees the window before the login may block it.
    postopen_pending_ = true;
}

bool w_db_upgrade::event(QEvent* e) {
    const bool handled = QWidget::event(e);
    if (e->type() == QEvent::Paint && postopen_pending_) {
        postopen_pending_ = false;
        QTimer::singleShot(0, this, [this] { ue_postopen(); });
    }
    return handled;
}

void w_db_upgrade::fit_frame_and_centre() {
    QMargins frame;
    if (QWindow* w = windowHandle()) frame = w->frameMargins();
    resize(frame_width - frame.left() - frame.right(), frame_height - frame.top() - frame.bottom());
    if (QScreen* s = screen()) {
        const QRect avail = s->availableGeometry();
        move(avail.x() + (avail.width() - frame_width) / 2, avail.y() + (avail.height() - frame_height) / 2);
    }
}

void w_db_upgrade::ue_postopen() {
    // A window manager reports the frame only once the window is mapped.
    if (!frame_fitted_) {
        frame_fitted_ = true;
        if (QWindow* w = windowHandle(); w && !w->frameMargins().isNull()) fit_frame_and_centre();
    }
    const bool connected = wf_connect_db(sqlca_, ui_, ib_brenholt, is_brenholt);
    if (!connected) {
        ui_.message_box(gs_appname, "不能连接到数据库");
        cb_1->setEnabled(false);
    }
    postopen_done_ = true;
}

// The command runs once per start: afterwards the button stays greyed.
void w_db_upgrade::cb_1_clicked() {
    run_upgrade_command(sqlca_, ui_, upgrade_options{is_runpath, cbx_proc->isChecked(), ib_brenholt, is_brenholt});
    cb_1->setEnabled(false);
}

void w_db_upgrade::cb_2_clicked() { close(); }

// The operator learns the outcome from the runner's own messages.
void w_db_upgrade::cb_put_clicked() { (void)run_package(is_runpath, sqlca_, ui_); }

// The list shows what the builder listed, also when it refused to write; a
// folder that cannot be listed leaves it empty and db.dat untouched, with the
// builder's message naming the folder.
void w_db_upgrade::cb_get_clicked() {
    const auto result = build_package(developer_script_dir, is_runpath, ui_);
    show_package_names(result.names);
}

void w_db_upgrade::show_package_names(const std::vector<std::string>& gbk_names) {
    lb_1->clear();
    for (const auto& name : gbk_names) lb_1->addItem(new package_order_item(name));
}

}  // namespace velmora::app
