#include "ui/pages.hpp"

#include "ui/password_form.hpp"
#include "ui/style.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace pelorn::ui {

namespace {

// A column of at most `width` pixels, centred in the page.
QVBoxLayout* centredColumn(QWidget* page, int width) {
    auto* outer = new QHBoxLayout(page);
    outer->setContentsMargins(pageMargin, pageMargin, pageMargin, pageMargin);
    auto* column = new QWidget(page);
    column->setMaximumWidth(width);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(rowSpacing);
    outer->addStretch(1);
    outer->addWidget(column, 3);
    outer->addStretch(1);
    return layout;
}

} // namespace

PasswordOnboardingPage::PasswordOnboardingPage(UiHost& host, QWidget* parent) : QWidget(parent) {
    auto* layout = centredColumn(this, 460);
    layout->addStretch(1);
    layout->addWidget(caption("MASTER PASSWORD", this));
    layout->addWidget(heading("Create your\nmaster password", this));
    layout->addWidget(secondary("Every iPad or iPhone that connects to this Mac will be asked for it, every "
                                "time. It never leaves this Mac, and it can only be changed here.",
                                this));
    layout->addSpacing(rowSpacing);
    mForm = new MasterPasswordForm(host, false, this);
    layout->addWidget(mForm);
    layout->addStretch(2);
}

PasswordResetSheet::PasswordResetSheet(UiHost& host, QWidget* parent) : QDialog(parent) {
    setObjectName("passwordResetSheet");
    setWindowTitle("Reset master password");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(pageMargin, pageMargin, pageMargin, pageMargin);
    layout->setSpacing(rowSpacing);
    layout->addWidget(sheetTitle("Reset master password", this));
    layout->addWidget(secondary(
        "Devices will need the new password the next time they connect. Approved devices stay approved.",
        this));
    mForm = new MasterPasswordForm(host, true, this);
    layout->addWidget(mForm);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("cancelButton");
    makeSecondary(cancel);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(mForm, &MasterPasswordForm::saved, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    setMinimumWidth(420);
}

ApprovalSheet::ApprovalSheet(UiHost& host, QWidget* parent) : QDialog(parent), mHost(host) {
    setObjectName("approvalSheet");
    setWindowTitle("New device");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(pageMargin, pageMargin, pageMargin, pageMargin);
    layout->setSpacing(rowSpacing);
    layout->addWidget(caption("NEW DEVICE", this));
    mName = heading({}, this);
    mName->setObjectName("deviceName");
    mName->setTextFormat(Qt::PlainText);
    layout->addWidget(mName);
    mVia = secondary({}, this);
    mVia->setObjectName("via");
    layout->addWidget(mVia);
    auto* text =
        new QLabel("It already knows the master password. Approve it only if this is your device - it "
                   "can then view and control this Mac.",
                   this);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addSpacing(rowSpacing);
    mDeny = new QPushButton("Deny", this);
    mDeny->setObjectName("denyButton");
    makeSecondary(mDeny);
    mApprove = new QPushButton("Approve", this);
    mApprove->setObjectName("approveButton");
    mApprove->setDefault(true);
    makePrimary(mApprove);
    for (auto* button : {mDeny, mApprove}) {
        button->setMinimumHeight(34);
        button->setMinimumWidth(110);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(mDeny);
    buttons->addWidget(mApprove);
    layout->addLayout(buttons);
    setMinimumWidth(440);
    connect(mApprove, &QPushButton::clicked, this, [this] { mHost.answerApproval(mDeviceId, true); });
    connect(mDeny, &QPushButton::clicked, this, [this] { mHost.answerApproval(mDeviceId, false); });
    // Escape or the close button deny, as "Deny" would.
    connect(this, &QDialog::rejected, this, [this] {
        if (!mDeviceId.empty()) {
            mHost.answerApproval(mDeviceId, false);
        }
    });
}

void ApprovalSheet::dismiss() {
    mDeviceId.clear();
    hide();
}

void ApprovalSheet::present(const UiApproval& approval) {
    mDeviceId = approval.deviceId;
    mName->setText(QString::fromStdString(approval.deviceName));
    mVia->setText("wants to connect via " + QString::fromStdString(approval.via));
    QDialog::show();
    raise();
    activateWindow();
}

} // namespace pelorn::ui
