#include "app/qt/w_db_upgrade.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>

#include <thread>

#include "app/logic/window_layout.h"
#include "app/qt/app_icon.h"
#include "app/qt/layout_units.h"
#include "common/gbk.h"
#include "package/package_builder.h"

namespace velmora::app {

namespace {

QColor qt_colour(colour c) { return QColor(c.r, c.g, c.b); }

// 宋体 is SimSun; where it is missing, other CJK faces stand in before Qt's
// own fallback so that the Chinese texts keep a comparable width. 隶书 is
// LiSu; the banner is fixed pitch, so monospaced CJK faces come first among
// its substitutes.
QFont qt_font(const font_style& style) {
    QFont f;
    if (style.fixed_pitch) {
        f.setFamilies({"LiSu", "隶书", "STLiti", "WenQuanYi Zen Hei Mono", "WenQuanYi Micro Hei Mono",
                       "WenQuanYi Micro Hei", "Droid Sans Fallback"});
        f.setFixedPitch(true);
        f.setStyleHint(QFont::TypeWriter);
    } else {
        f.setFamilies({"SimSun", "宋体", "NSimSun", "Noto Serif CJK SC", "AR PL UMing CN", "WenQuanYi Micro Hei",
                       "WenQuanYi Zen Hei", "Droid Sans Fallback"});
    }
    f.setPointSize(style.points);
    f.setWeight(style.bold ? QFont::Bold : QFont::Normal);
    f.setItalic(style.italic);
    f.setUnderline(style.underline);
    return f;
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

// Builds one control of the layout: its kind, name, text, place, font and colours.
QWidget* make_control(QWidget* parent, const control_layout& layout) {
    const QString text = QString::fromUtf8(layout.text.data(), static_cast<int>(layout.text.size()));
    QWidget* w = nullptr;
    switch (layout.kind) {
        case control_kind::static_text:
        case control_kind::panel: {
            auto* l = layout.font.underline ? new underlined_text(text, parent) : new QLabel(text, parent);
            l->setTextFormat(Qt::PlainText);
            if (layout.right_aligned) l->setAlignment(Qt::AlignRight | Qt::AlignTop);
            if (layout.word_wrap) {
                l->setWordWrap(true);
                l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            }
            if (layout.kind == control_kind::panel) l->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
            w = l;
            break;
        }
        case control_kind::check_box: w = new QCheckBox(text, parent); break;
        case control_kind::list_box: {
            auto* list = new QListWidget(parent);
            list->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
            list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            list->setSortingEnabled(true);
            w = list;
            break;
        }
        case control_kind::push_button: {
            auto* b = new QPushButton(text, parent);
            b->setAutoDefault(false);  // no button is a default button
            b->setDefault(false);
            w = b;
            break;
        }
        case control_kind::group_box: w = new etched_group_box(parent); break;
        case control_kind::progress_bar: w = new QProgressBar(parent); break;
    }
    w->setObjectName(QString::fromUtf8(layout.name.data(), static_cast<int>(layout.name.size())));
    w->setGeometry(units_to_px_x(layout.x), units_to_px_y(layout.y), units_to_px_x(layout.width),
                   units_to_px_y(layout.height));
    w->setFont(qt_font(layout.font));
    // Static texts take no focus; the check box is reachable by mouse and
    // skipped by Tab; every other control with a tab order takes it.
    if (layout.kind == control_kind::check_box) w->setFocusPolicy(Qt::ClickFocus);
    else w->setFocusPolicy(layout.tab_order > 0 && layout.kind != control_kind::group_box ? Qt::StrongFocus : Qt::NoFocus);
    if (!layout.system_text_colour || !layout.system_back_colour) {
        QPalette p = w->palette();
        if (!layout.system_text_colour) p.setColor(QPalette::WindowText, qt_colour(layout.text_colour));
        if (!layout.system_back_colour) p.setColor(QPalette::Window, qt_colour(layout.back_colour));
        w->setPalette(p);
        w->setAutoFillBackground(true);
    }
    return w;
}

bool is_operator_input(QEvent::Type t) {
    switch (t) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
            return true;
        default: return false;
    }
}

}  // namespace

std::string default_script_folder() {
#ifdef _WIN32
    return "e:\\G\\velmora\\sql\\pr_tr\\";
#else
    return VELMORA_SCRIPT_DIR;
#endif
}

// The background work: one thread at a time, joined before the next starts
// and before the window goes.
class w_db_upgrade::worker {
public:
    ~worker() {
        if (thread_.joinable()) thread_.join();
    }
    void start(std::function<void()> work) {
        if (thread_.joinable()) thread_.join();
        thread_ = std::thread(std::move(work));
    }

private:
    std::thread thread_;
};

w_db_upgrade::w_db_upgrade(database_session& sqlca, ui_services& ui, bool developer_mode, std::string script_folder,
                           QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      logic_(sqlca, ui, *this, window_options{developer_mode, std::move(script_folder)}),
      worker_(std::make_unique<worker>()) {
    setObjectName(QStringLiteral("w_db_upgrade"));
    setWindowTitle(QString::fromUtf8(window_title.data(), static_cast<int>(window_title.size())));
    setWindowIcon(database_icon());
    QPalette p = palette();
    p.setColor(QPalette::Window, qt_colour(window_grey));
    setPalette(p);
    setAutoFillBackground(true);
    resize(frame_width, frame_height);
    create_controls();
}

// The worker may still be asking for a box: it is joined while the window's
// widgets still exist.
w_db_upgrade::~w_db_upgrade() { worker_.reset(); }

void w_db_upgrade::create_controls() {
    QWidget* controls[window_controls.size()];
    for (std::size_t i = 0; i < window_controls.size(); ++i) controls[i] = make_control(this, window_controls[i]);
    update_date_label_ = static_cast<QLabel*>(controls[0]);
    banner_ = static_cast<QLabel*>(controls[1]);
    banner_panel_ = static_cast<QLabel*>(controls[2]);
    package_box_ = static_cast<QCheckBox*>(controls[3]);
    package_box_->setChecked(true);
    // The check box takes the colour of a button face, as on Windows.
    QPalette box = package_box_->palette();
    box.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
    package_box_->setPalette(box);
    package_box_->setAutoFillBackground(true);
    package_list_ = static_cast<QListWidget*>(controls[4]);
    put_button_ = static_cast<QPushButton*>(controls[5]);
    get_button_ = static_cast<QPushButton*>(controls[6]);
    update_date_ = static_cast<QLabel*>(controls[7]);
    backup_notice_ = static_cast<QLabel*>(controls[8]);
    purpose_ = static_cast<QLabel*>(controls[9]);
    exit_button_ = static_cast<QPushButton*>(controls[10]);
    upgrade_button_ = static_cast<QPushButton*>(controls[11]);
    frame_ = static_cast<QGroupBox*>(controls[12]);
    frame_->setAutoFillBackground(false);  // it frames the controls, it must not paint over them

    progress_line_ = static_cast<QLabel*>(make_control(this, progress_controls[0]));
    progress_object_ = static_cast<QLabel*>(make_control(this, progress_controls[1]));
    progress_bar_ = static_cast<QProgressBar*>(make_control(this, progress_controls[2]));
    for (QWidget* w : std::initializer_list<QWidget*>{progress_line_, progress_object_, progress_bar_}) w->hide();

    // Stacking: the first control of the list lies on top, the group box at the
    // bottom. Raising from the last to the first leaves exactly that order.
    for (std::size_t i = window_controls.size(); i-- > 0;) controls[i]->raise();
    progress_line_->raise();
    progress_object_->raise();
    progress_bar_->raise();

    // Tab order: the upgrade and exit buttons first, then the developer controls;
    // controls that share a place go left to right as they stand on screen.
    setTabOrder(upgrade_button_, exit_button_);
    setTabOrder(exit_button_, get_button_);
    setTabOrder(get_button_, put_button_);
    setTabOrder(put_button_, package_list_);

    connect(upgrade_button_, &QPushButton::clicked, this, [this] { cb_1_clicked(); });
    connect(exit_button_, &QPushButton::clicked, this, [this] { cb_2_clicked(); });
    connect(put_button_, &QPushButton::clicked, this, [this] { cb_put_clicked(); });
    connect(get_button_, &QPushButton::clicked, this, [this] { cb_get_clicked(); });

    // The progress line follows the work at a rate a person can read, however
    // fast the work goes.
    progress_timer_ = new QTimer(this);
    progress_timer_->setInterval(100);
    connect(progress_timer_, &QTimer::timeout, this, [this] { show_progress(); });
}

void w_db_upgrade::open() {
    logic_.open();
    fit_frame_and_centre();
    show();
    // ue_postopen is posted once the window has been painted (see event()),
    // so the operator sees the window before the login may block it.
    postopen_pending_ = true;
}

bool w_db_upgrade::event(QEvent* e) {
    const bool handled = QWidget::event(e);
    if (e->type() == QEvent::Paint && postopen_pending_) {
        postopen_pending_ = false;
        QTimer::singleShot(0, this, [this] {
            // A window manager reports the frame only once the window is mapped.
            if (!frame_fitted_) {
                frame_fitted_ = true;
                if (QWindow* w = windowHandle(); w && !w->frameMargins().isNull()) fit_frame_and_centre();
            }
            logic_.ue_postopen();
        });
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

void w_db_upgrade::set_developer_controls_visible(bool visible) {
    for (QWidget* w : std::initializer_list<QWidget*>{get_button_, put_button_, package_list_, package_box_})
        w->setVisible(visible);
}

void w_db_upgrade::set_upgrade_enabled(bool enabled) { upgrade_button_->setEnabled(enabled); }

bool w_db_upgrade::package_box_checked() const { return package_box_->isChecked(); }

void w_db_upgrade::show_package_names(const std::vector<std::string>& gbk_names) {
    package_list_->clear();
    for (const auto& name : gbk_names) package_list_->addItem(new package_order_item(name));
}

// While a command runs, the window's own input goes nowhere: the filter sits on
// the application and drops mouse and key events meant for this window or its
// controls. Other windows (the command's message boxes) get theirs.
void w_db_upgrade::command_started() {
    qApp->installEventFilter(this);
    show_progress();
    for (QWidget* w : std::initializer_list<QWidget*>{progress_line_, progress_object_, progress_bar_}) w->show();
    progress_timer_->start();
}

void w_db_upgrade::command_finished() {
    progress_timer_->stop();
    for (QWidget* w : std::initializer_list<QWidget*>{progress_line_, progress_object_, progress_bar_}) w->hide();
    qApp->removeEventFilter(this);
}

bool w_db_upgrade::eventFilter(QObject* watched, QEvent* e) {
    if (logic_.busy() && is_operator_input(e->type())) {
        auto* w = qobject_cast<QWidget*>(watched);
        if (w && (w == this || isAncestorOf(w))) return true;
    }
    return QWidget::eventFilter(watched, e);
}

// Closing during a command would leave a database half upgraded: refused
// until the command has ended.
void w_db_upgrade::closeEvent(QCloseEvent* e) {
    if (logic_.busy()) {
        e->ignore();
        return;
    }
    QWidget::closeEvent(e);
}

// The whole line, in as many rows as the label has, the database's name
// shortened when it must be.
QString w_db_upgrade::progress_line_text(const progress_state& state) const {
    const QFontMetrics metrics(progress_line_->font());
    const QRect room = progress_line_->contentsRect();
    return QString::fromStdString(state.first_line_fitting([&](const std::string& text) {
        const QRect needed =
            metrics.boundingRect(QRect(0, 0, room.width(), 1 << 20), Qt::TextWordWrap, QString::fromStdString(text));
        return needed.width() <= room.width() && needed.height() <= room.height();
    }));
}

void w_db_upgrade::show_progress() {
    const std::optional<progress_state> now = logic_.progress_now();
    if (!now) return;
    const QString first = progress_line_text(*now);
    const QString second = QString::fromStdString(now->second_line());
    // Setting the same text again costs no repaint.
    if (progress_line_->text() != first) progress_line_->setText(first);
    if (progress_object_->text() != second) progress_object_->setText(second);
    const int maximum = now->count > 0 ? static_cast<int>(now->count) : 0;
    if (progress_bar_->maximum() != maximum) progress_bar_->setRange(0, maximum);  // 0..0: busy, no end known
    if (maximum > 0) progress_bar_->setValue(static_cast<int>(now->index));
}

// The command runs on a thread of its own; its end comes back through the
// event loop, where the window's own state is changed.
void w_db_upgrade::run_in_background(std::function<void()> work, std::function<void()> done) {
    worker_->start([this, work = std::move(work), done = std::move(done)]() mutable {
        work();
        QMetaObject::invokeMethod(this, [done = std::move(done)] { done(); }, Qt::QueuedConnection);
    });
}

void w_db_upgrade::call_on_window_thread(const std::function<void()>& f) {
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(this, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

}  // namespace velmora::app
