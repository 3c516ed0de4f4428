#include "ui/qt/window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSvgRenderer>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "core/monitor_link.h"
#include "core/workers.h"
#include "run/discovery.h"
#include "run/polling_timer.h"
#include "run/rolling.h"
#include "run/run.h"
#include "ui/grid.h"
#include "ui/headless.h"
#include "ui/model.h"
#include "ui/rolling_controls.h"
#include "ui/settings_loader.h"
#include "ui/startup.h"
#include "ui/station.h"

// The disk pictures live in this static library's resources.
static void InitDiskPictures() {
    Q_INIT_RESOURCE(pictures);
}

namespace galmor::qtui {

namespace {

constexpr int kPollingMs = 50;
// The window applies the model's changes on its own clock: a worker's change
// never wakes the window's thread, which on a busy machine would queue it
// behind the workers for the processor.
constexpr int kFlushMs = 20;
constexpr int kPictureSize = 40;  // logical pixels; drawn sharp at any scale

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// The picture of the image list with this index, drawn for the widget's
// screen, with its text alternative.
QPixmap DiskPixmap(int index, qreal dpr) {
    const PictureInfo* p = FindPicture(index);
    if (!p) p = FindPicture(static_cast<int>(Picture::Absent));
    QSvgRenderer svg(QStringLiteral(":/disks/%1.svg").arg(QString::fromLatin1(p->key)));
    const int side = static_cast<int>(kPictureSize * dpr + 0.5);
    QPixmap pm(side, side);
    pm.fill(Qt::transparent);
    QPainter painter(&pm);
    svg.render(&painter);
    painter.end();
    pm.setDevicePixelRatio(dpr);
    return pm;
}

QString BackgroundStyle(Colour c) {
    switch (c) {
        case Colour::Green:
            return QStringLiteral("background-color:#a8e6a8; color:#0b3d0b; padding:1px 4px;");
        case Colour::Red:
            return QStringLiteral("background-color:#f6b3b3; color:#4a0808; padding:1px 4px;");
        case Colour::Default:
            break;
    }
    return {};
}

// The percentage a bar shows, or -1 when it shows none.
int Percent(int value, int maximum) {
    if (maximum <= 0) return -1;
    return static_cast<int>(100LL * std::clamp(value, 0, maximum) / maximum);
}

// A row's progress bar, drawn flat. The style's bar (gradients, rounded
// corners, anti-aliasing) cost most of the window thread's time while eight
// bars moved; this one is a few rectangle fills and the percentage.
class RowBar : public QProgressBar {
  public:
    using QProgressBar::QProgressBar;

    // Off: the style's own bar, repainted with every new value (for
    // comparison in the benchmark).
    bool flat = true;

    // QProgressBar repaints at once, on the spot, whenever a new value moves
    // it. Here the new range and value are only taken; the bar is drawn with
    // the window's next paint, and only when the percentage it shows
    // changed: a step's many small values cost no paint at all.
    void Show(int maximum, int value) {
        if (!flat) {
            setUpdatesEnabled(false);
            setMaximum(maximum);
            setValue(value);
            setUpdatesEnabled(true);
            return;
        }
        const int percent = Percent(value, maximum);
        const bool redraw = percent != shown_ || maximum != this->maximum();
        // As setUpdatesEnabled(false/true), without the update that turning
        // updates on again always asks for (the bar has no children).
        setAttribute(Qt::WA_ForceUpdatesDisabled, true);
        setAttribute(Qt::WA_UpdatesDisabled, true);
        setMaximum(maximum);
        setValue(value);
        setAttribute(Qt::WA_UpdatesDisabled, false);
        setAttribute(Qt::WA_ForceUpdatesDisabled, false);
        if (redraw) {
            shown_ = percent;
            update();
        }
    }

  protected:
    void paintEvent(QPaintEvent* e) override {
        if (!flat) {
            QProgressBar::paintEvent(e);
            return;
        }
        QPainter p(this);
        const QPalette& pal = palette();
        const QRect r = rect();
        p.fillRect(r, pal.color(QPalette::Mid));
        const QRect in = r.adjusted(1, 1, -1, -1);
        p.fillRect(in, pal.color(QPalette::Base));
        const qint64 span = static_cast<qint64>(maximum()) - minimum();
        const qint64 done = std::clamp<qint64>(static_cast<qint64>(value()) - minimum(), 0, span);
        const int filled = span > 0 ? static_cast<int>(in.width() * done / span) : 0;
        p.fillRect(QRect(in.left(), in.top(), filled, in.height()), pal.color(QPalette::Highlight));
        if (isTextVisible()) {
            p.setPen(pal.color(QPalette::WindowText));
            p.drawText(in, Qt::AlignCenter, text());
        }
    }

  private:
    int shown_ = -2;
};

QMessageBox::Icon BoxIcon(Icon icon) {
    switch (icon) {
        case Icon::Error:
            return QMessageBox::Critical;
        case Icon::Exclamation:
            return QMessageBox::Warning;
        case Icon::Information:
            return QMessageBox::Information;
        case Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

// A box raised by a worker: shown on the window's thread, answered there.
struct OperatorWindow::BoxRequest {
    MessageBox box;
    bool done = false;       // the operator confirmed it, or the window closed
    bool abandoned = false;  // the raising worker was stopped meanwhile
    QPointer<QMessageBox> shown;
};

OperatorWindow::OperatorWindow(Station& st, WindowOptions opts, QWidget* parent)
    : QWidget(parent), st_(st), opts_(opts) {
    InitDiskPictures();
    // This is the window thread: pauses taken here keep the window alive.
    st_.WindowThread = std::this_thread::get_id();
    worker_nice_before_ = WorkerNice();
    SetWorkerNice(opts_.worker_nice);
    st_.ProcessEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); };

    Build();
    ApplyAll();

    listener_ = st_.model.Subscribe([this](const Change& c) { OnChange(c); });
    if (opts_.modal_messages) {
        st_.model.SetMessagePresenter([this](const MessageBox& box) { Present(box); });
    }

    flush_timer_ = new QTimer(this);
    flush_timer_->setInterval(kFlushMs);
    connect(flush_timer_, &QTimer::timeout, this, [this] { Flush(false); });
    flush_timer_->start();

    timer_ = new QTimer(this);
    timer_->setInterval(kPollingMs);
    connect(timer_, &QTimer::timeout, this, [this] { PollingTick(); });
    timer_->start();
}

OperatorWindow::~OperatorWindow() {
    Shutdown();
    st_.model.Unsubscribe(listener_);
    st_.ProcessEvents = nullptr;
    SetWorkerNice(worker_nice_before_);
}

// --- Layout ---

void OperatorWindow::Bind(const std::string& name, int index, Kind kind, QWidget* w) {
    bindings_[{name, index}] = Binding{kind, w};
    w->setObjectName(index < 0 ? Q(name) : Q(name) + QStringLiteral("_%1").arg(index));
}

void OperatorWindow::Build() {
    Bind("Form", -1, Kind::Window, this);
    auto* root = new QHBoxLayout(this);

    // Left: the buttons, the settings frames and the fixed texts.
    auto* left = new QVBoxLayout;
    root->addLayout(left, 0);
    auto button = [&](const char* name, auto&& onClick) {
        auto* b = new QPushButton(this);
        b->setMinimumHeight(30);
        Bind(name, -1, Kind::Button, b);
        connect(b, &QPushButton::clicked, this, [this, onClick] { Call(onClick); });
        left->addWidget(b);
        return b;
    };
    // With the Rolling box checked, Start arms rolling production and Clear
    // disarms it; unchecked they are the batch buttons.
    button("GoCmd", [this] {
        if (RollingStart_Click(st_)) {
            rolling_active_ = RollingArmed(st_);
        } else {
            GoCmd_Click(st_);
        }
    });
    button("ClearCmd", [this] {
        if (!RollingClear_Click(st_)) ClearCmd_Click(st_);
    });
    button("cmdLowFor", [this] { cmdLowFor_Click(st_); });
    button("cmdLowForCan", [this] { cmdLowForCan_Click(st_); });
    button("LedCmd", [this] { LedCmd_Click(st_); })->setMinimumHeight(44);
    button("ScanCmd", [this] { ScanCmd_Click(st_); });
    button("Command1", [] {});  // "Disable CdRom" has no action

    auto* frame1 = new QGroupBox(this);
    Bind("Frame1", -1, Kind::Frame, frame1);
    auto* f1 = new QVBoxLayout(frame1);
    auto* compare = new QCheckBox(frame1);
    Bind("CheckCompare", -1, Kind::Check, compare);
    connect(compare, &QCheckBox::clicked, this,
            [this](bool on) { st_.model.SetChecked("CheckCompare", -1, on); });
    f1->addWidget(compare);
    for (int i : {0, 1, 3, 4}) {
        auto* item = new QCheckBox(frame1);
        Bind("Check1", i, Kind::Check, item);
        connect(item, &QCheckBox::clicked, this, [this, i](bool on) {
            st_.model.SetChecked("Check1", i, on);
            Call([this, i] { Check1_Click(st_, static_cast<int16_t>(i)); });
        });
        f1->addWidget(item);
    }
    auto* rolling = new QCheckBox(frame1);
    Bind("CheckRolling", -1, Kind::Check, rolling);
    connect(rolling, &QCheckBox::clicked, this,
            [this](bool on) { Call([this, on] { CheckRolling_Click(st_, on); }); });
    f1->addWidget(rolling);
    auto* rollingLow = new QCheckBox(frame1);
    Bind("CheckRollingLow", -1, Kind::Check, rollingLow);
    connect(rollingLow, &QCheckBox::clicked, this,
            [this](bool on) { st_.model.SetChecked("CheckRollingLow", -1, on); });
    f1->addWidget(rollingLow);
    auto* lotRow = new QHBoxLayout;
    auto* lotLab = new QLabel(frame1);
    Bind("LotLab", -1, Kind::Label, lotLab);
    auto* lot = new QLineEdit(frame1);
    lot->setValidator(new QIntValidator(1, 999999, lot));
    lot->setPlaceholderText(QStringLiteral("no lot"));
    lot->setMaximumWidth(80);
    lotLab->setBuddy(lot);
    Bind("LotText", -1, Kind::Edit, lot);
    connect(lot, &QLineEdit::textEdited, this,
            [this](const QString& t) { st_.model.SetCaption("LotText", -1, t.toStdString()); });
    lotRow->addWidget(lotLab);
    lotRow->addWidget(lot);
    lotRow->addStretch(1);
    f1->addLayout(lotRow);
    left->addWidget(frame1);

    auto* frame2 = new QGroupBox(this);
    Bind("Frame2", -1, Kind::Frame, frame2);
    auto* f2 = new QVBoxLayout(frame2);
    for (const char* name : {"Option1", "Option2"}) {
        auto* o = new QRadioButton(frame2);
        o->setAutoExclusive(false);  // the model says which one is selected
        // Display only: the operator cannot change it.
        o->setAttribute(Qt::WA_TransparentForMouseEvents);
        o->setFocusPolicy(Qt::NoFocus);
        Bind(name, -1, Kind::Option, o);
        f2->addWidget(o);
    }
    left->addWidget(frame2);

    auto* size = new QHBoxLayout;
    auto* sizeLab = new QLabel(this);
    Bind("Label4", -1, Kind::Label, sizeLab);
    auto* combo = new QComboBox(this);
    combo->setEditable(true);
    combo->setMinimumWidth(70);
    Bind("Combo1", -1, Kind::Combo, combo);
    size->addWidget(sizeLab);
    size->addWidget(combo);
    left->addLayout(size);

    auto pair = [&](const char* a, const char* b) {
        auto* row = new QHBoxLayout;
        auto* la = new QLabel(this);
        auto* lb = new QLabel(this);
        Bind(a, -1, Kind::Label, la);
        Bind(b, -1, Kind::Label, lb);
        row->addWidget(la);
        row->addWidget(lb, 1);
        left->addLayout(row);
    };
    pair("Label3", "Label2");
    pair("TextDiskLab", "DiskLabContent");
    left->addStretch(1);

    // Right: summary, status texts, banner and the grid.
    auto* right = new QVBoxLayout;
    root->addLayout(right, 1);
    for (const char* name : {"VidPidLab", "UsbStrLab", "ScsiStrLab"}) {
        auto* l = new QLabel(this);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        Bind(name, -1, Kind::Label, l);
        right->addWidget(l);
    }
    // The day's production at this station.
    auto* statusLine = new QLabel(this);
    statusLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Bind("StatusLine", -1, Kind::Label, statusLine);
    right->addWidget(statusLine);
    auto* status = new QHBoxLayout;
    for (const char* name : {"WaitLab", "Label6", "Label5", "TimLab", "LotCount"}) {
        auto* l = new QLabel(this);
        QFont f = l->font();
        f.setBold(true);
        l->setFont(f);
        l->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        auto sp = l->sizePolicy();
        sp.setRetainSizeWhenHidden(true);
        l->setSizePolicy(sp);
        Bind(name, -1, Kind::Label, l);
        status->addWidget(l);
    }
    status->addStretch(1);
    right->addLayout(status);

    auto* banner = new QLabel(this);
    QFont bf = banner->font();
    bf.setPointSizeF(bf.pointSizeF() * 2.6);
    bf.setBold(true);
    banner->setFont(bf);
    banner->setAlignment(Qt::AlignCenter);
    auto bp = banner->sizePolicy();
    bp.setRetainSizeWhenHidden(true);
    banner->setSizePolicy(bp);
    Bind("PassLab", -1, Kind::Banner, banner);
    right->addWidget(banner);

    grid_box_ = new QWidget(this);
    grid_ = new QGridLayout(grid_box_);
    grid_->setHorizontalSpacing(6);
    grid_->setVerticalSpacing(4);
    grid_->setContentsMargins(0, 0, 0, 0);
    // Headings over the mark and text labels of each result column.
    for (const auto& col : ResultColumns()) {
        auto* h = new QLabel(grid_box_);
        QFont f = h->font();
        f.setBold(true);
        h->setFont(f);
        h->setAlignment(Qt::AlignCenter);
        Bind("ColumnHead", col.heading, Kind::Label, h);
        grid_->addWidget(h, 0, 3 + 2 * col.heading, 1, 2);
    }
    for (int c = 3; c < 11; ++c) grid_->setColumnStretch(c, (c % 2 == 0) ? 3 : 2);
    right->addWidget(grid_box_);
    right->addStretch(1);

    // The polling timer is the window's own (read on each tick).
    bindings_[{"Timer1", -1}] = Binding{Kind::Timer, nullptr};

    EnsureRows(std::max(1, st_.model.RowCount()));
    resize(1180, 700);
}

void OperatorWindow::EnsureRows(int rows) {
    rows = std::min(rows, kGridRows);
    for (int r = rows_built_; r < rows; ++r) {
        const int gr = r + 1;
        auto* item = new QLabel(grid_box_);
        item->setMinimumWidth(56);
        item->installEventFilter(this);
        item->setContextMenuPolicy(Qt::CustomContextMenu);
        Bind("ItemLab", r, Kind::Label, item);
        grid_->addWidget(item, gr, 0);

        auto* thumb = new QLabel(grid_box_);
        thumb->setFixedSize(kPictureSize, kPictureSize);
        thumb->installEventFilter(this);
        thumb->setContextMenuPolicy(Qt::CustomContextMenu);
        for (QLabel* l : {item, thumb}) {
            connect(l, &QWidget::customContextMenuRequested, this,
                    [this, r, l](const QPoint& at) { RowMenu(r)->popup(l->mapToGlobal(at)); });
        }
        Bind("ThumbImage", r, Kind::Picture, thumb);
        grid_->addWidget(thumb, gr, 1);

        // The bar, and under it what the disk's worker is busy with.
        auto* work = new QVBoxLayout;
        work->setSpacing(1);
        work->setContentsMargins(0, 0, 0, 0);
        auto* bar = new RowBar(grid_box_);
        bar->setMinimumWidth(110);
        bar->setMaximumHeight(18);
        auto sp = bar->sizePolicy();
        sp.setRetainSizeWhenHidden(true);
        bar->setSizePolicy(sp);
        Bind("ProgressBar", r, Kind::Progress, bar);
        work->addWidget(bar);
        auto* step = new QLabel(grid_box_);
        QFont sf = step->font();
        sf.setItalic(true);
        step->setFont(sf);
        auto stp = step->sizePolicy();
        stp.setRetainSizeWhenHidden(true);
        step->setSizePolicy(stp);
        Bind("StepLab", r, Kind::Label, step);
        work->addWidget(step);
        grid_->addLayout(work, gr, 2);

        for (const auto& col : ResultColumns()) {
            int k = 0;
            for (const char* name : {col.mark, col.text}) {
                auto* l = new QLabel(grid_box_);
                auto lp = l->sizePolicy();
                lp.setRetainSizeWhenHidden(true);
                l->setSizePolicy(lp);
                l->setMinimumHeight(kPictureSize / 2);
                l->setMaximumHeight(kPictureSize * 3 / 4);
                Bind(name, r, Kind::Label, l);
                grid_->addWidget(l, gr, 3 + 2 * col.heading + k++);
            }
        }
        grid_->setRowMinimumHeight(gr, kPictureSize + 4);
        for (const auto& array : GridArrays()) Apply(array, r);
    }
    rows_built_ = std::max(rows_built_, rows);
}

// --- Model to widgets ---

void OperatorWindow::Apply(const std::string& name, int index) {
    if (!st_.model.Exists(name, index)) return;
    Apply(name, index, st_.model.Get(name, index));
}

void OperatorWindow::Apply(const std::string& name, int index, const Control& c) {
    auto it = bindings_.find({name, index});
    if (it == bindings_.end()) return;
    Binding& bd = it->second;
    QWidget* w = bd.widget;
    switch (bd.kind) {
        case Kind::Window:
            setWindowTitle(Q(c.caption));
            return;
        case Kind::Timer:
            return;  // the polling tick reads the model's Timer1 itself
        case Kind::Button:
            static_cast<QPushButton*>(w)->setText(Q(c.caption));
            break;
        case Kind::Check: {
            auto* b = static_cast<QCheckBox*>(w);
            b->setText(Q(c.caption));
            b->setChecked(c.checked);
            break;
        }
        case Kind::Option: {
            auto* b = static_cast<QRadioButton*>(w);
            b->setText(Q(c.caption));
            b->setChecked(c.checked);
            break;
        }
        case Kind::Frame:
            static_cast<QGroupBox*>(w)->setTitle(Q(c.caption));
            break;
        case Kind::Combo: {
            auto* b = static_cast<QComboBox*>(w);
            b->setEditText(Q(c.caption));
            break;
        }
        case Kind::Edit: {
            auto* e = static_cast<QLineEdit*>(w);
            // Set only when it differs: the operator's cursor stays put.
            if (e->text() != Q(c.caption)) e->setText(Q(c.caption));
            break;
        }
        case Kind::Progress: {
            const int maximum = std::max(0, c.maximum);
            static_cast<RowBar*>(w)->Show(maximum, std::clamp(c.value, 0, maximum));
            break;
        }
        case Kind::Picture: {
            auto* l = static_cast<QLabel*>(w);
            const PictureInfo* p = FindPicture(c.picture);
            const QString text = QString::fromLatin1(p ? p->text : "No disk");
            l->setToolTip(c.tip.empty() ? text : text + QStringLiteral(", ") + Q(c.tip));
            if (bd.picture == c.picture) break;
            bd.picture = c.picture;
            l->setPixmap(DiskPixmap(c.picture, devicePixelRatioF()));
            l->setAccessibleName(QStringLiteral("Disk %1: %2").arg(index).arg(text));
            break;
        }
        case Kind::Label: {
            auto* l = static_cast<QLabel*>(w);
            l->setText(Q(c.caption));
            if (!c.tip.empty() || !l->toolTip().isEmpty()) l->setToolTip(Q(c.tip));
            if (bd.colour != static_cast<int>(c.background)) {
                bd.colour = static_cast<int>(c.background);
                l->setStyleSheet(BackgroundStyle(c.background));
            }
            break;
        }
        case Kind::Banner: {
            auto* l = static_cast<QLabel*>(w);
            l->setText(Q(c.caption));
            const bool failed = c.caption.find("FAIL") != std::string::npos;
            l->setStyleSheet(failed ? QStringLiteral("color:#c01010;")
                                    : QStringLiteral("color:#107a20;"));
            if (c.front) l->raise();
            break;
        }
    }
    if (w != this) {
        w->setVisible(c.visible);
        w->setEnabled(c.enabled);
    }
}

void OperatorWindow::ApplyAll() {
    for (const auto& [key, b] : bindings_) Apply(key.first, key.second);
}

void OperatorWindow::OnChange(const Change& c) {
    std::lock_guard<std::mutex> lock(dirty_mu_);
    if (c.kind == ChangeKind::Control) {
        const std::pair<std::string, int> key{c.name, c.index};
        auto [it, fresh] = latest_.insert_or_assign(key, c.control);
        (void)it;
        if (fresh) dirty_.push_back(key);
    } else if (c.kind == ChangeKind::Rows) {
        rows_wanted_ = std::max(rows_wanted_, c.rows);
    } else if (c.kind == ChangeKind::Focus) {
        focus_.emplace_back(c.name, c.index);
    } else {
        return;  // message boxes come through the presenter
    }
    flush_posted_ = true;
}

void OperatorWindow::Flush(bool wait) {
    std::vector<std::pair<std::string, int>> dirty, focus;
    std::map<std::pair<std::string, int>, Control> latest;
    int rows = 0;
    {
        std::unique_lock<std::mutex> lock(dirty_mu_, std::defer_lock);
        if (wait) {
            lock.lock();
        } else if (!lock.try_lock()) {
            return;  // next time
        }
        if (!flush_posted_) return;
        dirty.swap(dirty_);
        focus.swap(focus_);
        latest.swap(latest_);
        rows = rows_wanted_;
        flush_posted_ = false;
    }
    // Rows first: a change of a new row's control finds its widget.
    if (rows > rows_built_) EnsureRows(rows);
    for (const auto& key : dirty) Apply(key.first, key.second, latest[key]);
    for (const auto& [name, index] : focus) {
        auto it = bindings_.find({name, index});
        if (it != bindings_.end() && it->second.widget) it->second.widget->setFocus();
    }
}

QWidget* OperatorWindow::Widget(const std::string& name, int index) const {
    auto it = bindings_.find({name, index});
    return it == bindings_.end() ? nullptr : it->second.widget;
}

// --- Operator input ---

void OperatorWindow::Call(const std::function<void()>& fn) {
    if (shut_down_) return;
    try {
        fn();
    } catch (...) {
        // A button's failure is the station's to report; the window goes on.
    }
}

bool OperatorWindow::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
        for (int r = 0; r < rows_built_; ++r) {
            const auto idx = static_cast<int16_t>(r);
            if (watched == Widget("ItemLab", r)) {
                Call([this, idx] { ItemLab_Click(st_, idx); });
                return true;
            }
            if (watched == Widget("ThumbImage", r)) {
                Call([this, idx] { ThumbImage_Click(st_, idx); });
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, e);
}

QMenu* OperatorWindow::RowMenu(int row) {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* rework = menu->addAction(QStringLiteral("Re-work"));
    rework->setEnabled(Reworkable(st_, row));
    connect(rework, &QAction::triggered, this,
            [this, row] { Call([this, row] { Rework_Click(st_, row); }); });
    return menu;
}

void OperatorWindow::SetFlatBars(bool on) {
    for (auto& [key, b] : bindings_) {
        if (b.kind != Kind::Progress) continue;
        static_cast<RowBar*>(b.widget)->flat = on;
        b.widget->update();
    }
}

void OperatorWindow::PollingTick() {
    if (shut_down_) return;
    SuperviseMonitor();
    // Discovery may show a modal box, which runs the event loop (and this
    // timer) again: one discovery at a time.
    if (in_discovery_) return;
    // Rolling production takes every tick while it is armed or its jobs
    // are finishing.
    if (rolling_active_) {
        in_discovery_ = true;
        Call([this] { rolling_active_ = RollingTimer(st_); });
        in_discovery_ = false;
        if (rolling_active_) return;
    }
    // Nothing to do, or not now: decided without the model's lock, which a
    // worker that the machine keeps off the processor may be holding.
    if (st_.RunInProgress) return;
    if (st_.DeviceEvent != kDeviceEventArrival && st_.DeviceEvent != kDeviceEventRemoval) return;
    in_discovery_ = true;
    Call([this] { Timer1_Timer(st_); });
    in_discovery_ = false;
}

void OperatorWindow::TakeNotices() {
    if (shut_down_ || !opts_.link) return;
    // A pending removal is kept, otherwise the latest notice counts.
    opts_.link->TakeNotices(st_.DeviceEvent);
}

void OperatorWindow::SuperviseMonitor() {
    if (shut_down_ || !opts_.link) return;
    // Off while the link may close the descriptor it watches.
    if (monitor_life_) monitor_life_->setEnabled(false);
    std::string note;
    const Supervision s = opts_.link->Supervise(&note);
    if (s != Supervision::Quiet) std::cerr << "galmor: " << note << "\n";
    // Changes while no monitor watched were not noticed: look again, with
    // the removal's clean-up since disks may have gone.
    if (s == Supervision::Restarted)
        st_.DeviceEvent = MergeDeviceEvent(st_.DeviceEvent, kDeviceEventRemoval);
    if (monitor_life_ && monitor_life_->socket() != opts_.link->monitor().life_fd()) {
        monitor_life_->deleteLater();
        monitor_life_ = nullptr;
    }
    if (monitor_life_) monitor_life_->setEnabled(true);
    WatchMonitor();  // a restarted monitor's descriptor
}

void OperatorWindow::WatchMonitor() {
    if (!opts_.link) return;
    if (opts_.link->notice_fd() >= 0 && !notices_) {
        notices_ = new QSocketNotifier(opts_.link->notice_fd(), QSocketNotifier::Read, this);
        connect(notices_, &QSocketNotifier::activated, this, [this] { TakeNotices(); });
    }
    if (opts_.link->monitor().life_fd() >= 0 && !monitor_life_) {
        monitor_life_ =
            new QSocketNotifier(opts_.link->monitor().life_fd(), QSocketNotifier::Read, this);
        connect(monitor_life_, &QSocketNotifier::activated, this, [this] { SuperviseMonitor(); });
    }
}

// --- Message boxes ---

void OperatorWindow::Present(const MessageBox& box) {
    if (QThread::currentThread() == thread()) {
        ShowBoxNow(box, nullptr);
        return;
    }
    auto req = std::make_shared<BoxRequest>();
    req->box = box;
    {
        std::lock_guard<std::mutex> lock(box_mu_);
        if (closing_) return;
    }
    QMetaObject::invokeMethod(
        this, [this, req] { ShowQueuedBox(req); }, Qt::QueuedConnection);

    // The worker waits for the operator, but a stop request (Clear, closing
    // the window) ends the wait.
    std::unique_lock<std::mutex> lock(box_mu_);
    while (!req->done && !closing_) {
        box_cv_.wait_for(lock, std::chrono::milliseconds(20));
        if (req->done || closing_) break;
        lock.unlock();
        try {
            CheckStop();
        } catch (...) {
            lock.lock();
            req->abandoned = true;
            QMetaObject::invokeMethod(
                this,
                [req] {
                    if (req->shown) req->shown->reject();
                },
                Qt::QueuedConnection);
            throw;
        }
        lock.lock();
    }
}

void OperatorWindow::ShowQueuedBox(const std::shared_ptr<BoxRequest>& req) {
    {
        std::lock_guard<std::mutex> lock(box_mu_);
        if (req->abandoned || closing_) return;
    }
    if (boxes_open_ > 0) {
        // One box at a time: the next one follows when this one is answered.
        QTimer::singleShot(30, this, [this, req] { ShowQueuedBox(req); });
        return;
    }
    ShowBoxNow(req->box, req);
}

void OperatorWindow::ShowBoxNow(const MessageBox& box, const std::shared_ptr<BoxRequest>& req) {
    QMessageBox mb(BoxIcon(box.icon), windowTitle(), Q(box.text), QMessageBox::Ok, this);
    mb.setWindowModality(Qt::ApplicationModal);
    if (req) {
        std::lock_guard<std::mutex> lock(box_mu_);
        req->shown = &mb;
    }
    ++boxes_open_;
    mb.exec();
    --boxes_open_;
    if (req) {
        std::lock_guard<std::mutex> lock(box_mu_);
        req->shown = nullptr;
        req->done = true;
        box_cv_.notify_all();
    }
}

// --- Start-up and shutdown ---

bool OperatorWindow::StartUp() {
    StartUpSteps steps;
    steps.link = opts_.link;
    steps.monitor_folder = opts_.monitor_folder;
    steps.after_recipe = AfterRecipe;
    steps.warn = [](const std::string& why) { std::cerr << "galmor: " << why << "\n"; };
    StartUpResult result = StartUpResult::Stopped;
    Call([&] { result = StartStation(st_, steps); });
    startup_ = result;
    // Notices that came during start-up wait in the socket.
    WatchMonitor();
    FlushNow();
    return result == StartUpResult::Started;
}

void OperatorWindow::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (screen_hooked_ || !windowHandle()) return;
    screen_hooked_ = true;
    // Pictures are drawn for the screen's scale: draw them again on another.
    connect(windowHandle(), &QWindow::screenChanged, this, [this] {
        for (auto& [key, b] : bindings_) {
            if (b.kind == Kind::Picture) {
                b.picture = -1;
                Apply(key.first, key.second);
            }
        }
    });
}

void OperatorWindow::closeEvent(QCloseEvent* e) {
    Shutdown();
    QWidget::closeEvent(e);
}

void OperatorWindow::Shutdown() {
    if (shut_down_) return;
    shut_down_ = true;
    timer_->stop();
    flush_timer_->stop();
    {
        // Workers waiting for a box go on (and meet their stop request).
        std::lock_guard<std::mutex> lock(box_mu_);
        closing_ = true;
        box_cv_.notify_all();
    }
    st_.model.SetMessagePresenter({});
    // The notifiers go before the link closes the descriptors they watch.
    delete notices_;
    notices_ = nullptr;
    delete monitor_life_;
    monitor_life_ = nullptr;
    if (opts_.link) opts_.link->Shutdown();
    StopStationWorkers(st_);
    const int count = std::clamp<int>(st_.DiskCount.load(), 0, kMaxPorts);
    for (int i = 0; i < count; ++i) {
        Sarnik::CloseHandle(st_.ports[static_cast<size_t>(i)].Handle);
        st_.ports[static_cast<size_t>(i)].Handle = 0;
    }
}

// --- Programs ---

int RunWindow(Station& st, std::function<bool()> afterRecipe, MonitorLink* link,
              const std::string& monitorFolder) {
    WindowOptions opts;
    opts.link = link;
    opts.monitor_folder = monitorFolder;
    OperatorWindow w(st, opts);
    w.AfterRecipe = std::move(afterRecipe);
    if (!w.StartUp()) {
        if (w.StartUpOutcome() != StartUpResult::RecipeRejected) return kExitRecipeRejected;
        std::string reason = "The recipe " + st.HomeDir + "/Product.ini was not accepted";
        const auto messages = st.model.Messages();
        for (size_t i = 0; i < messages.size(); ++i) {
            reason += (i == 0 ? ": " : "; ") + messages[i].text;
        }
        w.Shutdown();
        return ShowStartUpFailure(reason + ".");
    }
    // Fit the screen it opens on (1366 x 768 and up).
    if (QScreen* s = w.screen()) {
        const QRect a = s->availableGeometry();
        w.resize(std::min(w.width(), a.width()), std::min(w.height(), a.height()));
    }
    w.show();
    const int rc = QApplication::exec();
    w.Shutdown();
    return rc == 0 ? kExitPassed : kExitOtherError;
}

int ShowStartUpFailure(const std::string& reason) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("UFD Manufacture Program"),
                    Q(reason + "\n\nThe station cannot start without a recipe and ends now."),
                    QMessageBox::Ok);
    box.exec();
    return kExitRecipeRejected;
}

int RenderScreenshot(Station& st, const std::string& file, Moment moment,
                     std::function<bool()> afterRecipe) {
    WindowOptions opts;
    opts.modal_messages = false;  // nobody is there to answer
    OperatorWindow w(st, opts);
    w.AfterRecipe = std::move(afterRecipe);
    if (!w.StartUp()) return kExitRecipeRejected;
    w.show();
    QCoreApplication::processEvents();
    if (moment != Moment::StartUp) {
        if (!st.model.Get1("GoCmd").enabled) {
            w.Shutdown();
            return kExitNoDisk;
        }
        static_cast<QPushButton*>(w.Widget("GoCmd"))->click();
        // During the run: once some disk's image is being written.
        const auto writing = [&] {
            for (int r = 0; r < st.model.RowCount(); ++r) {
                const Control bar = st.model.Get("ProgressBar", r);
                if (bar.visible && bar.value > 0) return true;
            }
            return false;
        };
        QElapsedTimer t;
        t.start();
        while (st.RunInProgress && t.elapsed() < 600000 &&
               !(moment == Moment::DuringRun && writing())) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        if (moment == Moment::AfterRun) WaitForWorkers(st);
    }
    QCoreApplication::processEvents();
    w.FlushNow();
    const bool saved = w.grab().save(QString::fromStdString(file), "PNG");
    w.Shutdown();
    return saved ? kExitPassed : kExitOtherError;
}

}  // namespace galmor::qtui
