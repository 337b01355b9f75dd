#include "ui/sections.hpp"

#include "ui/pages.hpp"
#include "ui/style.hpp"
#include "ui/ui_text.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <ctime>

namespace pelorn::ui {

namespace {

QLabel* badge(QWidget* parent) {
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setWeight(QFont::Bold);
    font.setPointSizeF(font.pointSizeF() * 0.85);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
    label->setFont(font);
    return label;
}

void setBadge(QLabel* label, bool good, const QString& yes, const QString& no) {
    label->setText(good ? yes : no);
    setTextColor(label, good ? goodColor() : dangerColor());
}

// Sets a switch without it reporting the change as the owner's.
void setQuietly(QCheckBox* box, bool on) {
    QSignalBlocker blocker(box);
    box->setChecked(on);
}

QString timeOfDay(Clock::time_point at) {
    auto t = Clock::to_time_t(at);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buffer[8];
    std::strftime(buffer, sizeof buffer, "%H:%M", &tm);
    return QString::fromLatin1(buffer);
}

} // namespace

// ---- Connect

ConnectSection::ConnectSection(UiHost& host, QWidget* parent) : QWidget(parent), mHost(host) {
    auto* layout = pageLayout(this);
    layout->addWidget(caption("CONNECT", this));
    auto* stateRow = new QHBoxLayout;
    mDot = new QLabel(this);
    mDot->setFixedSize(14, 14);
    mState = heading({}, this);
    mState->setObjectName("onlineState");
    stateRow->addWidget(mDot);
    stateRow->addWidget(mState, 1);
    layout->addLayout(stateRow);
    mDetail = secondary({}, this);
    mDetail->setObjectName("onlineDetail");
    layout->addWidget(mDetail);
    mButton = new QPushButton(this);
    mButton->setObjectName("onlineButton");
    mButton->setMinimumHeight(38);
    mButton->setMinimumWidth(160);
    makePrimary(mButton);
    connect(mButton, &QPushButton::clicked, this, [this] { mHost.toggleOnline(); });
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(mButton);
    buttonRow->addStretch(1);
    layout->addLayout(buttonRow);
    mError = new QLabel(this);
    mError->setObjectName("onlineError");
    setDanger(mError);
    layout->addWidget(mError);

    layout->addSpacing(rowSpacing);
    layout->addWidget(caption("PERMISSIONS", this));
    auto* permissions = panel(this);
    auto* grid = new QVBoxLayout(permissions);
    grid->setSpacing(8);
    auto addRow = [&](const QString& name, QLabel*& value, const char* objectName) {
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(name, permissions), 1);
        value = badge(permissions);
        value->setObjectName(objectName);
        row->addWidget(value);
        grid->addLayout(row);
    };
    addRow("Screen Recording", mScreen, "screenRecording");
    addRow("Accessibility", mAccessibility, "accessibility");
    layout->addWidget(permissions);

    layout->addSpacing(rowSpacing);
    layout->addWidget(caption("POWER", this));
    auto* power = panel(this);
    auto* powerLayout = new QVBoxLayout(power);
    powerLayout->setSpacing(8);
    mKeepAwake = new Switch("Keep Mac Awake", power);
    mKeepAwake->setObjectName("keepAwake");
    mClosedLid = new Switch("Closed-Lid Mode", power);
    mClosedLid->setObjectName("closedLid");
    powerLayout->addWidget(mKeepAwake);
    powerLayout->addWidget(mClosedLid);
    auto* note = secondary("Requires administrator approval when going online", power);
    note->setIndent(50);
    powerLayout->addWidget(note);
    mClosedLidError = new QLabel(power);
    mClosedLidError->setObjectName("closedLidError");
    setDanger(mClosedLidError);
    mClosedLidError->setIndent(50);
    powerLayout->addWidget(mClosedLidError);
    layout->addWidget(power);
    layout->addSpacing(rowSpacing);
    layout->addWidget(caption("STARTUP", this));
    auto* startup = panel(this);
    auto* startupLayout = new QVBoxLayout(startup);
    mStartAtLogin = new Switch("Start at Login", startup);
    mStartAtLogin->setObjectName("startAtLogin");
    startupLayout->addWidget(mStartAtLogin);
    layout->addWidget(startup);
    layout->addStretch(1);
    connect(mKeepAwake, &QCheckBox::toggled, this, [this](bool on) { mHost.setKeepAwake(on); });
    connect(mStartAtLogin, &QCheckBox::toggled, this, [this](bool on) { mHost.setStartAtLogin(on); });
    connect(mClosedLid, &QCheckBox::toggled, this, [this](bool on) { mHost.setClosedLidRequested(on); });

    mPermissionTimer = new QTimer(this);
    mPermissionTimer->setInterval(2000);
    connect(mPermissionTimer, &QTimer::timeout, this, &ConnectSection::refreshPermissions);
}

void ConnectSection::apply(const UiState& state) {
    mState->setText(state.online ? "Online" : "Offline");
    mDetail->setText(state.online ? "This Mac is discoverable on your local network"
                                  : "This Mac stays private until you go online");
    QPixmap dot(14, 14);
    dot.fill(Qt::transparent);
    {
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(state.online ? goodColor() : secondaryTextColor());
        painter.drawEllipse(1, 1, 12, 12);
    }
    mDot->setPixmap(dot);
    mButton->setText(state.online ? "Go Offline" : "Go Online");
    mError->setText(state.lastError ? text(*state.lastError) : QString());
    mError->setVisible(state.lastError.has_value());
    setQuietly(mKeepAwake, state.keepAwake);
    setQuietly(mStartAtLogin, state.startAtLogin);
    setQuietly(mClosedLid, state.closedLidRequested);
    mClosedLidError->setText(state.closedLidError ? text(*state.closedLidError) : QString());
    mClosedLidError->setVisible(state.closedLidError.has_value());
}

void ConnectSection::refreshPermissions() {
    QPointer<ConnectSection> self(this);
    mHost.checkPermissions([self](bool screen, bool accessibility) {
        if (self) {
            setBadge(self->mScreen, screen, "GRANTED", "DENIED");
            setBadge(self->mAccessibility, accessibility, "GRANTED", "DENIED");
        }
    });
}

void ConnectSection::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshPermissions();
    mPermissionTimer->start();
}

void ConnectSection::hideEvent(QHideEvent* event) {
    mPermissionTimer->stop();
    QWidget::hideEvent(event);
}

// ---- Logs

LogsSection::LogsSection(UiHost& host, QWidget* parent) : QWidget(parent), mHost(host) {
    auto* layout = pageLayout(this);
    auto* title = new QHBoxLayout;
    title->addWidget(heading("Logs", this), 1);
    layout->addLayout(title);
    mIntro = secondary({}, this);
    mIntro->setObjectName("logsIntro");
    layout->addWidget(mIntro);

    auto* controls = new QHBoxLayout;
    mFilter = new QComboBox(this);
    mFilter->setObjectName("logsFilter");
    for (const auto& filter : logFilters) {
        mFilter->addItem(QString::fromUtf8(filter.label.data(), static_cast<int>(filter.label.size())));
    }
    mRange = new QComboBox(this);
    mRange->setObjectName("logsRange");
    for (int days : logRanges) {
        mRange->addItem(text(rangeLabel(days)), days);
    }
    mCopy = new QPushButton("Copy", this);
    mCopy->setObjectName("copyButton");
    mClear = new QPushButton("Clear", this);
    mClear->setObjectName("clearButton");
    makeSecondary(mCopy);
    makeSecondary(mClear);
    // The two pickers keep their whole labels; the actions sit by the title, out of their way.
    for (auto* box : {mFilter, mRange}) {
        box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        box->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    controls->addWidget(mFilter);
    controls->addWidget(mRange);
    controls->addStretch(1);
    title->addWidget(mCopy, 0, Qt::AlignBottom);
    title->addWidget(mClear, 0, Qt::AlignBottom);
    layout->addLayout(controls);

    mBody = new QStackedWidget(this);
    mList = new QTreeWidget(mBody);
    mList->setObjectName("logsList");
    mList->setColumnCount(2);
    mList->setHeaderHidden(true);
    mList->setRootIsDecorated(false);
    mList->setIndentation(0);
    mList->setSelectionMode(QAbstractItemView::NoSelection);
    mList->setFocusPolicy(Qt::NoFocus);
    mList->header()->setStretchLastSection(false);
    mList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    mList->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    mList->setIconSize(QSize(18, 18));
    auto* empty = new QWidget(mBody);
    auto* emptyLayout = new QVBoxLayout(empty);
    emptyLayout->addStretch(1);
    mEmptyTitle = emptyStateTitle({}, empty);
    mEmptyTitle->setObjectName("emptyTitle");
    mEmptyText = secondary({}, empty);
    mEmptyText->setObjectName("emptyText");
    mEmptyText->setAlignment(Qt::AlignCenter);
    emptyLayout->addWidget(mEmptyTitle);
    emptyLayout->addWidget(mEmptyText);
    emptyLayout->addStretch(2);
    mBody->addWidget(mList);
    mBody->addWidget(empty);
    layout->addWidget(mBody, 1);
    mOlderNote = nullptr;

    connect(mFilter, &QComboBox::currentIndexChanged, this, [this] { render(); });
    connect(mRange, &QComboBox::currentIndexChanged, this, [this] {
        int days = mRange->currentData().toInt();
        if (mState && days != mState->logsRangeDays) {
            mHost.setLogsRangeDays(days);
        }
        render();
    });
    connect(mCopy, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(text(exportText(mShown)));
        mCopy->setText("Copied");
        QTimer::singleShot(1500, mCopy, [copy = mCopy] { copy->setText("Copy"); });
    });
    connect(mClear, &QPushButton::clicked, this, [this] {
        mConfirm =
            new QMessageBox(QMessageBox::Warning, "Clear",
                            "Every entry is deleted from this Mac. What happens next is still recorded.",
                            QMessageBox::NoButton, this);
        mConfirm->setObjectName("clearConfirmation");
        auto* cancel = mConfirm->addButton("Cancel", QMessageBox::RejectRole);
        auto* clear = mConfirm->addButton("Clear", QMessageBox::DestructiveRole);
        // Return must never do what cannot be undone.
        mConfirm->setDefaultButton(cancel);
        mConfirm->setAttribute(Qt::WA_DeleteOnClose);
        connect(mConfirm, &QMessageBox::finished, this, [this, clear] {
            if (mConfirm && mConfirm->clickedButton() == clear) {
                mHost.clearLog();
            }
            mConfirm = nullptr;
        });
        mConfirm->open();
    });
}

void LogsSection::apply(const UiState& state) {
    mState = std::make_shared<const UiState>(state);
    int index = mRange->findData(state.logsRangeDays);
    if (index < 0) {
        mRange->addItem(text(rangeLabel(state.logsRangeDays)), state.logsRangeDays);
        index = mRange->count() - 1;
    }
    {
        QSignalBlocker blocker(mRange);
        mRange->setCurrentIndex(index);
    }
    render();
}

void LogsSection::render() {
    mShown.clear();
    mList->clear();
    if (!mState) {
        return;
    }
    int days = mRange->currentData().toInt();
    mIntro->setText(text(logsIntro(days)));
    const auto& filter = logFilters[static_cast<std::size_t>(std::max(0, mFilter->currentIndex()))];
    auto now = Clock::now();
    std::size_t inCategory = 0;
    for (const auto& event : mState->events) {
        if (!filter.category.empty() && event.category != filter.category) {
            continue;
        }
        ++inCategory;
        if (withinRange(event.at, days, now)) {
            mShown.push_back(event);
        }
    }
    mCopy->setEnabled(!mShown.empty());
    mClear->setEnabled(!mState->events.empty());
    auto showEmpty = [&](const QString& title, const QString& line) {
        mEmptyTitle->setText(title);
        mEmptyText->setText(line);
        mEmptyTitle->setVisible(!title.isEmpty());
        mBody->setCurrentIndex(1);
    };
    if (mState->events.empty()) {
        showEmpty("Nothing yet",
                  "Going online, a device connecting, a session opening - it all shows up here.");
        return;
    }
    if (inCategory == 0) {
        showEmpty("Nothing under " +
                      QString::fromUtf8(filter.label.data(), static_cast<int>(filter.label.size())),
                  "Try another filter, or All.");
        return;
    }
    if (mShown.empty()) {
        showEmpty({}, text(olderNote(inCategory, days)));
        return;
    }
    mBody->setCurrentIndex(0);
    QFont headingFont = mList->font();
    headingFont.setWeight(QFont::DemiBold);
    std::optional<Clock::time_point> day;
    for (const auto& event : mShown) {
        auto eventDay = startOfDay(event.at);
        if (day != eventDay) {
            day = eventDay;
            auto* heading = new QTreeWidgetItem(mList, {text(dayHeading(event.at, now))});
            heading->setFirstColumnSpanned(true);
            heading->setFont(0, headingFont);
            heading->setForeground(0, secondaryTextColor());
            heading->setData(0, Qt::UserRole, true);
            heading->setSizeHint(0, QSize(0, 30));
        }
        auto* row = new QTreeWidgetItem(mList, {text(event.sentence), timeOfDay(event.at)});
        row->setSizeHint(0, QSize(0, 28));
        row->setIcon(0, symbolIcon(event.icon));
        row->setForeground(1, secondaryTextColor());
    }
}

QStringList LogsSection::rows() const {
    QStringList out;
    for (int i = 0; i < mList->topLevelItemCount(); ++i) {
        auto* item = mList->topLevelItem(i);
        out << (item->data(0, Qt::UserRole).toBool() ? "# " + item->text(0) : item->text(0));
    }
    return out;
}

bool LogsSection::showsList() const {
    return mBody->currentIndex() == 0;
}

// ---- Devices

DevicesSection::DevicesSection(UiHost& host, QWidget* parent) : QWidget(parent), mHost(host) {
    auto* layout = pageLayout(this);
    layout->addWidget(heading("Devices", this));
    layout->addWidget(secondary("Only devices approved by you can connect to and control this Mac.", this));
    mBody = new QStackedWidget(this);
    mBody->addWidget(emptyState("ipad.and.iphone", "No devices yet",
                                "Connect from your iPad or iPhone. You'll approve it here the first time.",
                                mBody));
    mRows = std::make_unique<RowList>(mBody);
    mBody->addWidget(mRows->scroll);
    layout->addWidget(mBody, 1);
}

DevicesSection::~DevicesSection() = default;

void DevicesSection::apply(const UiState& state) {
    mDevices = state.devices;
    // Rows are made afresh: the relative times move on with every state anyway.
    mRows->clear();
    mRowTexts.clear();
    mRemoveButtons.clear();
    mBody->setCurrentIndex(mDevices.empty() ? 0 : 1);
    auto now = Clock::now();
    for (const auto& device : mDevices) {
        auto* row = panel(mRows->holder);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(14, 10, 14, 10);
        rowLayout->setSpacing(14);
        const char* symbol = device.model.starts_with("iPhone") ? "iphone" : "ipad";
        auto* icon = new QLabel(row);
        icon->setPixmap(symbolIcon(symbol).pixmap(32, 32));
        rowLayout->addWidget(icon);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* name = rowTitle(text(device.name), row);
        QString status =
            device.connected ? "Connected" : text("Last used " + relativeTime(device.lastSeenAt, now));
        auto* statusLabel = secondary(status, row);
        if (device.connected) {
            setTextColor(statusLabel, goodColor());
        }
        QString added = text("Added " + dayAndMonth(device.approvedAt));
        texts->addWidget(name);
        texts->addWidget(statusLabel);
        texts->addWidget(secondary(added, row));
        rowLayout->addLayout(texts, 1);
        auto* remove = new QPushButton("Remove", row);
        remove->setObjectName("removeButton");
        makeSecondary(remove);
        connect(remove, &QPushButton::clicked, this, [this, device] { confirmRemoval(device); });
        rowLayout->addWidget(remove);
        mRows->add(row);
        mRowTexts << QString(symbol) + "|" + text(device.name) + "|" + status + "|" + added;
        mRemoveButtons.push_back(remove);
    }
}

void DevicesSection::confirmRemoval(const UiDevice& device) {
    // Title bars are the window manager's to show or not: the title is in the box as well.
    mConfirm = new QMessageBox(QMessageBox::Warning, "Remove " + text(device.name),
                               "Remove " + text(device.name), QMessageBox::NoButton, this);
    mConfirm->setObjectName("removalConfirmation");
    mConfirm->setInformativeText(
        "This device will be removed and will need to be paired again for future connections.");
    auto* cancel = mConfirm->addButton("Cancel", QMessageBox::RejectRole);
    auto* remove = mConfirm->addButton("Remove", QMessageBox::DestructiveRole);
    // Return must never do what cannot be undone.
    mConfirm->setDefaultButton(cancel);
    mConfirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(mConfirm, &QMessageBox::finished, this, [this, remove, id = device.id] {
        if (mConfirm && mConfirm->clickedButton() == remove) {
            mHost.removeDevice(id);
        }
        mConfirm = nullptr;
    });
    mConfirm->open();
}

QStringList DevicesSection::rows() const {
    return mRowTexts;
}

QPushButton* DevicesSection::removeButton(int row) const {
    return row >= 0 && row < static_cast<int>(mRemoveButtons.size())
               ? mRemoveButtons[static_cast<std::size_t>(row)]
               : nullptr;
}

bool DevicesSection::showsEmptyState() const {
    return mBody->currentIndex() == 0;
}

// ---- Placeholders and the account

PlaceholderSection::PlaceholderSection(const QString& title, const QString& coming, const QString& today,
                                       QWidget* parent)
    : QWidget(parent) {
    auto* layout = pageLayout(this);
    layout->addWidget(heading(title, this));
    auto* line = new QLabel(coming, this);
    line->setWordWrap(true);
    layout->addWidget(line);
    layout->addWidget(secondary(today, this));
    layout->addStretch(1);
}

} // namespace pelorn::ui
