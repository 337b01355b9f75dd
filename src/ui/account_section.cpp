#include "ui/account_section.hpp"

#include "ui/pages.hpp"
#include "ui/style.hpp"
#include "ui/ui_text.hpp"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorn::ui {

namespace {

constexpr int iconSize = 20;

QLabel* symbolLabel(std::string_view symbol, QWidget* parent) {
    auto* icon = new QLabel(parent);
    icon->setPixmap(symbolIcon(symbol, secondaryTextColor()).pixmap(iconSize, iconSize));
    icon->setFixedWidth(iconSize + 4);
    return icon;
}

// A row's inside: symbol, title, stretch, value.
QHBoxLayout* rowLayout(QWidget* row, std::string_view symbol, QLabel* title, QLabel* value) {
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(14, 9, 14, 9);
    layout->setSpacing(10);
    layout->addWidget(symbolLabel(symbol, row));
    layout->addWidget(title);
    layout->addStretch(1);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setTextFormat(Qt::PlainText);
    layout->addWidget(value);
    return layout;
}

} // namespace

SettingsGroup::SettingsGroup(const QString& caption, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    if (!caption.isEmpty()) {
        layout->addWidget(pelorn::ui::caption(caption.toUpper(), this));
    }
    auto* box = panel(this);
    mRows = new QVBoxLayout(box);
    mRows->setContentsMargins(0, 2, 0, 2);
    mRows->setSpacing(0);
    layout->addWidget(box);
}

void SettingsGroup::add(QWidget* row) {
    if (mCount++ > 0) {
        auto* line = new QFrame(this);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Plain);
        auto tint = secondaryTextColor();
        tint.setAlpha(70);
        line->setStyleSheet(QString("color: %1;").arg(tint.name(QColor::HexArgb)));
        mRows->addWidget(line);
    }
    mRows->addWidget(row);
}

SettingsRow::SettingsRow(std::string_view symbol, const QString& title, QWidget* parent) : QWidget(parent) {
    mValue = secondary({}, this);
    rowLayout(this, symbol, new QLabel(title, this), mValue);
}

void SettingsRow::setValue(const QString& value) {
    mValue->setText(value);
}

void SettingsRow::setTrailing(QWidget* widget) {
    layout()->addWidget(widget);
}

SettingsNavRow::SettingsNavRow(std::string_view symbol, const QString& title, QWidget* parent)
    : QPushButton(parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setMinimumHeight(40);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setStyleSheet("QPushButton { border: none; text-align: left; }"
                  "QPushButton:hover { background: palette(midlight); border-radius: 8px; }");
    mTitle = new QLabel(title, this);
    mValue = secondary({}, this);
    rowLayout(this, symbol, mTitle, mValue);
    for (auto* label : {mTitle, mValue}) {
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    // The row's style sheet rules its children: their colours go the same way.
    mValue->setStyleSheet("color: " + secondaryTextColor().name() + ";");
}

void SettingsNavRow::setValue(const QString& value) {
    mValue->setText(value);
}

void SettingsNavRow::setDestructive() {
    mTitle->setStyleSheet("color: " + dangerColor().name() + ";");
}

AccountSection::AccountSection(UiHost& host, QWidget* parent) : QWidget(parent), mHost(host) {
    auto* outer = pageLayout(this);
    outer->addWidget(heading("Account", this));
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    content->setAutoFillBackground(false);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 4, 0);
    layout->setSpacing(18);
    scroll->setWidget(content);
    scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(scroll, 1);

    auto* who = new SettingsGroup({}, content);
    auto* signedIn = new SettingsRow("person.crop.circle", "Signed in", who);
    mEmail = signedIn->valueLabel();
    mEmail->setObjectName("accountEmail");
    who->add(signedIn);
    layout->addWidget(who);

    auto* terminal = new SettingsGroup("Terminal", content);
    auto* lifetime = new SettingsRow("clock", "End sessions after", terminal);
    mLifetime = new QComboBox(lifetime);
    mLifetime->setObjectName("lifetimePicker");
    for (const auto& [hours, label] : sessionLifetimes) {
        mLifetime->addItem(label, hours);
    }
    lifetime->valueLabel()->hide();
    lifetime->setTrailing(mLifetime);
    terminal->add(lifetime);
    layout->addWidget(terminal);
    connect(mLifetime, &QComboBox::activated, this,
            [this](int index) { mHost.setSessionLifetime(mLifetime->itemData(index).toInt()); });

    auto* security = new SettingsGroup("Security", content);
    mPassword = new SettingsRow("lock.fill", "Master password", security);
    mPassword->valueLabel()->setObjectName("passwordUpdated");
    mDevices = new SettingsRow("ipad.and.iphone", "Approved devices", security);
    mDevices->valueLabel()->setObjectName("deviceCount");
    mReset = new SettingsNavRow("key", "Reset master password", security);
    mReset->setObjectName("resetPasswordButton");
    for (QWidget* row : std::initializer_list<QWidget*>{mPassword, mDevices, mReset}) {
        security->add(row);
    }
    layout->addWidget(security);
    connect(mReset, &QPushButton::clicked, this, [this] {
        auto* sheet = new PasswordResetSheet(mHost, this);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->open();
    });

    auto* support = new SettingsGroup("Support", content);
    mUpdates = new SettingsNavRow("arrow.down.circle", "Check for updates", support);
    mUpdates->setObjectName("checkForUpdatesButton");
    mSupport = new SettingsNavRow("envelope", "Contact support", support);
    mSupport->setObjectName("contactSupportButton");
    mAccountId = new SettingsRow("person.text.rectangle", "Account ID", support);
    mAccountId->valueLabel()->setObjectName("accountId");
    mAccountId->valueLabel()->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mCopyId = new QToolButton(mAccountId);
    mCopyId->setObjectName("copyAccountIdButton");
    mCopyId->setAutoRaise(true);
    mCopyId->setToolTip("Copy your full account ID");
    mCopyId->setAccessibleName("Copy your full account ID");
    mCopyId->setIcon(symbolIcon("doc.on.doc"));
    mCopyId->setProperty("symbol", "doc.on.doc");
    mAccountId->setTrailing(mCopyId);
    for (QWidget* row : std::initializer_list<QWidget*>{mUpdates, mSupport, mAccountId}) {
        support->add(row);
    }
    layout->addWidget(support);
    connect(mUpdates, &QPushButton::clicked, this, [this] { mHost.checkForUpdates(); });
    connect(mSupport, &QPushButton::clicked, this,
            [this] { mHost.openExternal(supportMailUrl(mSupportAddress, mUid)); });
    connect(mCopyId, &QToolButton::clicked, this, [this] {
        QApplication::clipboard()->setText(text(mUid));
        mCopyId->setIcon(symbolIcon("checkmark"));
        mCopyId->setProperty("symbol", "checkmark");
    });

    auto* leave = new SettingsGroup({}, content);
    mSignOut = new SettingsNavRow("rectangle.portrait.and.arrow.right", "Sign out", leave);
    mSignOut->setObjectName("signOutButton");
    mDelete = new SettingsNavRow("trash", "Delete account", leave);
    mDelete->setObjectName("deleteAccountButton");
    mDelete->setDestructive();
    leave->add(mSignOut);
    leave->add(mDelete);
    layout->addWidget(leave);
    mError = errorText("accountError", content);
    layout->addWidget(mError);
    layout->addStretch(1);
    connect(mSignOut, &QPushButton::clicked, this, [this] { mHost.signOut(); });
    connect(mDelete, &QPushButton::clicked, this, [this] { confirmDeletion(); });
}

void AccountSection::apply(const UiState& state) {
    mEmail->setText(text(state.accountEmail));
    mLifetime->blockSignals(true);
    mLifetime->setCurrentIndex(std::max(0, mLifetime->findData(state.sessionLifetimeHours)));
    mLifetime->blockSignals(false);
    mPassword->setValue(state.passwordUpdatedAt ? text(abbreviatedDate(*state.passwordUpdatedAt))
                                                : "Not set");
    mDevices->setValue(state.devices.empty() ? QString("None") : QString::number(state.devices.size()));
    mUpdates->setEnabled(state.updatesConfigured);
    mUpdates->setValue(!state.updatesConfigured   ? QString("No website configured")
                       : state.checkingForUpdates ? QString("Checking")
                                                  : text(state.updateStatus));
    mSupportAddress = state.links.supportEmail;
    mSupport->setEnabled(!mSupportAddress.empty());
    if (state.accountUid != mUid) {
        mCopyId->setIcon(symbolIcon("doc.on.doc"));
        mCopyId->setProperty("symbol", "doc.on.doc");
    }
    mUid = state.accountUid;
    // Long ids show their ends; "Copy" takes the whole of it.
    auto shown = text(mUid);
    if (shown.size() > 16) {
        shown = shown.left(6) + QString::fromUtf8("…") + shown.right(6);
    }
    mAccountId->setValue(mUid.empty() ? QString("—") : shown);
    mAccountId->valueLabel()->setToolTip(text(mUid));
    mCopyId->setEnabled(!mUid.empty());
    mDelete->setValue(mDeleting || state.deletingAccount ? QString::fromUtf8("Deleting…")
                                                         : QString("Permanent"));
    mDelete->setEnabled(!mDeleting && !state.deletingAccount);
}

void AccountSection::confirmDeletion() {
    mConfirm = new QMessageBox(QMessageBox::Warning, "Delete your account?", "Delete your account?",
                               QMessageBox::NoButton, this);
    mConfirm->setObjectName("deleteConfirmation");
    mConfirm->setInformativeText("Your account, this computer's registration and your access are removed "
                                 "permanently, on every device. This cannot be undone.");
    auto* cancel = mConfirm->addButton("Cancel", QMessageBox::RejectRole);
    auto* remove = mConfirm->addButton("Delete", QMessageBox::DestructiveRole);
    // Return must never delete an account.
    mConfirm->setDefaultButton(cancel);
    mConfirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(mConfirm, &QMessageBox::finished, this, [this, remove] {
        bool confirmed = mConfirm && mConfirm->clickedButton() == remove;
        mConfirm = nullptr;
        if (!confirmed) {
            return;
        }
        mDeleting = true;
        mError->hide();
        mDelete->setValue(QString::fromUtf8("Deleting…"));
        mDelete->setEnabled(false);
        QPointer<AccountSection> self(this);
        mHost.deleteAccount([self](std::optional<std::string> error) {
            if (!self) {
                return;
            }
            self->mDeleting = false;
            self->mDelete->setValue("Permanent");
            self->mDelete->setEnabled(true);
            self->mError->setText(error ? text(*error) : QString());
            self->mError->setVisible(error.has_value());
        });
    });
    mConfirm->open();
}

UpdateSheet::UpdateSheet(UiHost& host, QWidget* parent) : QDialog(parent), mHost(host) {
    setObjectName("updateSheet");
    setWindowTitle("Update");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(pageMargin, pageMargin, pageMargin, pageMargin);
    layout->setSpacing(rowSpacing);
    mTitle = sheetTitle({}, this);
    mText = secondary({}, this);
    mInstruction = secondary({}, this);
    mInstruction->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(mTitle);
    layout->addWidget(mText);
    layout->addWidget(mInstruction);
    auto* buttons = new QHBoxLayout;
    mSkip = new QPushButton("Skip This Version", this);
    mLater = new QPushButton("Not Now", this);
    mDownload = new QPushButton("Download", this);
    makeSecondary(mSkip);
    makeSecondary(mLater);
    makePrimary(mDownload);
    mDownload->setDefault(true);
    buttons->addWidget(mSkip);
    buttons->addStretch(1);
    buttons->addWidget(mLater);
    buttons->addWidget(mDownload);
    layout->addLayout(buttons);
    setMinimumWidth(420);
    connect(mDownload, &QPushButton::clicked, this, [this] {
        mHost.openExternal(mUrl);
        accept();
    });
    connect(mSkip, &QPushButton::clicked, this, [this] {
        mHost.skipUpdate();
        accept();
    });
    connect(mLater, &QPushButton::clicked, this, &QDialog::reject);
}

void UpdateSheet::present(const UiRelease& release, bool required, const std::string& instruction) {
    mUrl = release.url;
    mTitle->setText(text("Pelorn " + release.version + " is available."));
    mText->setText(required ? "This version is no longer supported. Update to keep using Pelorn."
                            : "A newer version is ready to download.");
    mSkip->setVisible(!required);
    mInstruction->setText(text(instruction));
    mInstruction->setVisible(!instruction.empty());
    mDownload->setVisible(instruction.empty());
    open();
}

} // namespace pelorn::ui
