#include "ui/terminal_section.hpp"

#include "ui/style.hpp"
#include "ui/terminal_view.hpp"
#include "ui/ui_text.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorn::ui {

namespace {

// "14:05" today, else "3 Dec 14:05" (with the year when it is not this one).
QString startedText(std::chrono::system_clock::time_point created) {
    auto at = QDateTime::fromSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::seconds>(created.time_since_epoch()).count());
    auto today = QDate::currentDate();
    if (at.date() == today) {
        return at.toString("HH:mm");
    }
    return at.toString(at.date().year() == today.year() ? "d MMM HH:mm" : "d MMM yyyy HH:mm");
}

} // namespace

// ---- New session

NewSessionSheet::NewSessionSheet(UiHost& host, QWidget* parent) : QDialog(parent), mHost(host) {
    setObjectName("newSessionSheet");
    setWindowTitle("New session");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(pageMargin, pageMargin, pageMargin, pageMargin);
    layout->setSpacing(rowSpacing);
    layout->addWidget(sheetTitle("New session", this));
    layout->addWidget(secondary("A shell that keeps running on this Mac until you end it.", this));
    auto* label = new QLabel("Name", this);
    mName = new QLineEdit(this);
    mName->setObjectName("nameField");
    label->setBuddy(mName);
    layout->addWidget(label);
    auto* field = new QHBoxLayout;
    field->addWidget(mName, 1);
    mSuggest = new QPushButton(symbolIcon("arrow.2.squarepath"), "Suggest another name", this);
    mSuggest->setObjectName("suggestButton");
    makeSecondary(mSuggest);
    field->addWidget(mSuggest);
    layout->addLayout(field);
    layout->addWidget(secondary(QString::fromUtf8("Letters, numbers and dashes. No “:” or “.”"), this));
    mError = errorText("errorLabel", this);
    layout->addWidget(mError);
    layout->addSpacing(rowSpacing / 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    mCancel = new QPushButton("Cancel", this);
    mCancel->setObjectName("cancelButton");
    makeSecondary(mCancel);
    mCreate = new QPushButton("Create", this);
    mCreate->setObjectName("createButton");
    mCreate->setDefault(true);
    makePrimary(mCreate);
    for (auto* button : {mCancel, mCreate}) {
        button->setMinimumWidth(100);
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
    setMinimumWidth(460);
    connect(mSuggest, &QPushButton::clicked, this, &NewSessionSheet::suggest);
    connect(mCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(mCreate, &QPushButton::clicked, this, &NewSessionSheet::create);
}

void NewSessionSheet::present() {
    mName->clear();
    mError->hide();
    suggest();
    open();
    mName->setFocus();
}

void NewSessionSheet::suggest() {
    QPointer<NewSessionSheet> self(this);
    mHost.suggestSessionName([self](const std::string& name) {
        if (self) {
            self->mName->setText(text(name));
            self->mName->selectAll();
        }
    });
}

void NewSessionSheet::create() {
    if (mCreating) {
        return;
    }
    mCreating = true;
    mCreate->setText("Creating");
    mCreate->setEnabled(false);
    mError->hide();
    QPointer<NewSessionSheet> self(this);
    mHost.createSession(mName->text().toStdString(), [self](std::optional<std::string> error) {
        if (!self) {
            return;
        }
        self->mCreating = false;
        self->mCreate->setText("Create");
        self->mCreate->setEnabled(true);
        if (error) {
            self->mError->setText(text(*error));
            self->mError->show();
            return;
        }
        self->accept();
    });
}

// ---- Sessions

TerminalSessionsView::TerminalSessionsView(UiHost& host, QWidget* parent) : QWidget(parent), mHost(host) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    mPages = new QStackedWidget(this);
    outer->addWidget(mPages);

    auto* list = new QWidget(mPages);
    auto* layout = pageLayout(list);
    auto* top = new QHBoxLayout;
    top->addWidget(heading("Terminal", list), 1);
    mNew = new QPushButton(symbolIcon("plus", Qt::white), "New Session", list);
    mNew->setObjectName("newSessionButton");
    makePrimary(mNew);
    top->addWidget(mNew, 0, Qt::AlignVCenter);
    layout->addLayout(top);
    layout->addWidget(
        secondary("Sessions run in tmux, so they keep going after you disconnect and can be picked "
                  "up from any terminal on this Mac.",
                  list));
    mError = errorText("errorLabel", list);
    layout->addWidget(mError);

    mBody = new QStackedWidget(list);
    mBody->addWidget(
        emptyState("exclamationmark.triangle", "tmux isn't available",
                   "Pelorn ships its own copy, so this build is incomplete. Installing tmux with "
                   "Homebrew also works.",
                   mBody));
    mBody->addWidget(
        emptyState("terminal", "No sessions yet",
                   "Start one here or from your iPhone or iPad. It keeps running until you end it.", mBody));
    mRows = std::make_unique<RowList>(mBody);
    mBody->addWidget(mRows->scroll);
    layout->addWidget(mBody, 1);
    mPages->addWidget(list);

    mSheet = new NewSessionSheet(host, this);
    connect(mNew, &QPushButton::clicked, mSheet, &NewSessionSheet::present);

    // One menu for every row, so a row made afresh while it is open takes nothing with it.
    mMenu = new QMenu(this);
    mMenu->setObjectName("moreMenu");
    auto* openInTerminal = mMenu->addAction("Open in Terminal");
    auto* copy = mMenu->addAction("Copy Attach Command");
    mMenu->addSeparator();
    auto* end = mMenu->addAction(QString::fromUtf8("End Session…"));
    connect(openInTerminal, &QAction::triggered, this, [this] { mHost.openInTerminal(mMenuSession); });
    connect(copy, &QAction::triggered, this, [this] {
        for (const auto& session : mSessions) {
            if (session.name == mMenuSession) {
                auto* clipboard = QGuiApplication::clipboard();
                clipboard->clear();
                clipboard->setText(text(session.attachCommand));
            }
        }
    });
    connect(end, &QAction::triggered, this, [this] { confirmEnd(mMenuSession); });
}

TerminalSessionsView::~TerminalSessionsView() = default;

void TerminalSessionsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    mHost.watchSessions();
}

void TerminalSessionsView::apply(const UiState& state) {
    if (state.sessionsError) {
        mError->setText(text(*state.sessionsError));
    }
    mError->setVisible(state.sessionsError.has_value());
    mBody->setCurrentIndex(!state.tmuxAvailable ? 0 : state.sessions.empty() ? 1 : 2);
    if (state.sessions == mSessions && !mRowTexts.isEmpty()) {
        return;
    }
    mSessions = state.sessions;
    mRows->clear();
    mRowTexts.clear();
    mOpenButtons.clear();
    mMoreButtons.clear();
    int number = 0;
    for (const auto& session : mSessions) {
        auto* row = panel(mRows->holder);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(14, 10, 10, 10);
        rowLayout->setSpacing(14);
        auto* count = secondary(QString::asprintf("%02d", ++number), row);
        QFont mono = count->font();
        mono.setFamily("monospace");
        mono.setStyleHint(QFont::Monospace);
        count->setFont(mono);
        rowLayout->addWidget(count);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* name = rowTitle(text(session.name), row);
        QString since =
            "Running since " + startedText(session.created) + QString::fromUtf8(" · ") + text(session.age);
        QString status =
            text(session.status) +
            (session.idleEnd.empty() ? QString() : QString::fromUtf8(" · ") + text(session.idleEnd));
        texts->addWidget(name);
        texts->addWidget(secondary(since, row));
        auto* statusLabel = secondary(status, row);
        if (session.status.starts_with("Attached")) {
            setTextColor(statusLabel, goodColor());
        }
        texts->addWidget(statusLabel);
        rowLayout->addLayout(texts, 1);
        auto* open = new QPushButton("Open", row);
        open->setObjectName("openButton");
        makeSecondary(open);
        auto* more = new QToolButton(row);
        more->setObjectName("moreButton");
        more->setIcon(symbolIcon("ellipsis"));
        more->setToolTip("More");
        more->setAutoRaise(true);
        rowLayout->addWidget(open);
        rowLayout->addWidget(more);
        connect(open, &QPushButton::clicked, this, [this, name = session.name] { openSession(name); });
        connect(more, &QToolButton::clicked, this, [this, more, name = session.name] {
            mMenuSession = name;
            mMenu->popup(more->mapToGlobal(QPoint(0, more->height())));
        });
        mRows->add(row);
        mRowTexts << QString::asprintf("%02d", number) + "|" + text(session.name) + "|" + since + "|" +
                         status;
        mOpenButtons.push_back(open);
        mMoreButtons.push_back(more);
    }
}

QStringList TerminalSessionsView::rows() const {
    return mRowTexts;
}

bool TerminalSessionsView::showsUnavailable() const {
    return mBody->currentIndex() == 0;
}

bool TerminalSessionsView::showsEmptyState() const {
    return mBody->currentIndex() == 1;
}

QPushButton* TerminalSessionsView::openButton(int row) const {
    return row >= 0 && row < static_cast<int>(mOpenButtons.size()) ? mOpenButtons[row] : nullptr;
}

QToolButton* TerminalSessionsView::moreButton(int row) const {
    return row >= 0 && row < static_cast<int>(mMoreButtons.size()) ? mMoreButtons[row] : nullptr;
}

void TerminalSessionsView::confirmEnd(const std::string& name) {
    mChosen = name;
    QString title = "End " + (mChosen ? text(*mChosen) : QString("session"));
    // Title bars are the window manager's to show or not: the title is in the box as well.
    mConfirm = new QMessageBox(QMessageBox::Warning, title, title, QMessageBox::NoButton, this);
    mConfirm->setObjectName("endConfirmation");
    mConfirm->setInformativeText("Anything running in it will be stopped. This can't be undone.");
    auto* cancel = mConfirm->addButton("Cancel", QMessageBox::RejectRole);
    auto* end = mConfirm->addButton("End Session", QMessageBox::DestructiveRole);
    // Return must never do what cannot be undone.
    mConfirm->setDefaultButton(cancel);
    mConfirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(mConfirm, &QMessageBox::buttonClicked, this, [this, end](QAbstractButton* clicked) {
        if (clicked == end && mChosen) {
            QPointer<TerminalSessionsView> self(this);
            mHost.endSession(*mChosen, [self](std::optional<std::string> error) {
                if (self && error) {
                    self->mError->setText(text(*error));
                    self->mError->show();
                }
            });
        }
        mChosen.reset();
        mConfirm = nullptr;
    });
    mConfirm->open();
}

void TerminalSessionsView::openSession(const std::string& name) {
    closeSession();
    mTerminal = new MacSessionTerminalView(mHost, name, mPages);
    mPages->addWidget(mTerminal);
    mPages->setCurrentWidget(mTerminal);
    connect(mTerminal, &MacSessionTerminalView::back, this, &TerminalSessionsView::closeSession);
    mTerminal->setFocus();
}

void TerminalSessionsView::closeSession() {
    if (!mTerminal) {
        return;
    }
    if (auto* pane = mTerminal->terminal()) {
        pane->detach();
    }
    mPages->setCurrentIndex(0);
    mPages->removeWidget(mTerminal);
    // Later: "back" may be what called this.
    mTerminal->deleteLater();
    mTerminal->hide();
    mTerminal = nullptr;
}

} // namespace pelorn::ui
