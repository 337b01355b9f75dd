#include "ui/password_form.hpp"

#include "ui/style.hpp"
#include "ui/ui_text.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorn::ui {

MasterPasswordForm::MasterPasswordForm(UiHost& host, bool replacing, QWidget* parent)
    : QWidget(parent), mHost(host), mReplacing(replacing) {
    mPassword = new QLineEdit(this);
    mPassword->setObjectName("passwordField");
    mPassword->setPlaceholderText("Master password");
    mPassword->setAccessibleName("Master password");
    mConfirmation = new QLineEdit(this);
    mConfirmation->setObjectName("confirmationField");
    mConfirmation->setPlaceholderText("Confirm password");
    mConfirmation->setAccessibleName("Confirm password");
    for (auto* field : {mPassword, mConfirmation}) {
        field->setMinimumHeight(34);
        field->setEchoMode(QLineEdit::Password);
        connect(field, &QLineEdit::textChanged, this, &MasterPasswordForm::refresh);
    }
    mShow = new QToolButton(this);
    mShow->setObjectName("showButton");
    mShow->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(mShow, &QToolButton::clicked, this, [this] { setShown(!mShown); });

    mHint = secondary({}, this);
    mHint->setObjectName("hintLabel");
    mError = new QLabel(this);
    mError->setObjectName("errorLabel");
    setDanger(mError);
    mError->hide();
    mSave = new QPushButton(this);
    mSave->setObjectName("saveButton");
    mSave->setIcon(symbolIcon("lock.fill", Qt::white));
    mSave->setDefault(true);
    makePrimary(mSave);
    mSave->setMinimumHeight(36);
    connect(mSave, &QPushButton::clicked, this, &MasterPasswordForm::save);
    // Return moves on from the password, and saves from the confirmation when saving is possible.
    connect(mPassword, &QLineEdit::returnPressed, mConfirmation, [this] { mConfirmation->setFocus(); });
    connect(mConfirmation, &QLineEdit::returnPressed, this, &MasterPasswordForm::save);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(rowSpacing);
    layout->addWidget(mPassword);
    layout->addWidget(mConfirmation);
    auto* hintRow = new QHBoxLayout;
    hintRow->addWidget(mHint, 1);
    hintRow->addWidget(mShow);
    layout->addLayout(hintRow);
    layout->addWidget(mError);
    layout->addWidget(mSave);
    setShown(false);
    refresh();
}

void MasterPasswordForm::setShown(bool shown) {
    mShown = shown;
    for (auto* field : {mPassword, mConfirmation}) {
        field->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    }
    mShow->setText(shown ? "Hide" : "Show");
    mShow->setIcon(symbolIcon(shown ? "eye.slash" : "eye"));
}

void MasterPasswordForm::refresh() {
    PasswordFormState form;
    form.password = mPassword->text().toStdString();
    form.confirmation = mConfirmation->text().toStdString();
    form.length = mHost.characterCount(form.password);
    form.saving = mSaving;
    mHint->setText(QString::fromStdString(passwordHint(form)));
    mSave->setEnabled(canSavePassword(form));
    mSave->setText(mSaving ? "Saving" : mReplacing ? "Save New Password" : "Set Master Password");
}

void MasterPasswordForm::save() {
    if (!mSave->isEnabled()) {
        return;
    }
    mSaving = true;
    mError->hide();
    refresh();
    QPointer<MasterPasswordForm> self(this);
    mHost.setPassword(mPassword->text().toStdString(), [self](std::optional<std::string> error) {
        if (!self) {
            return;
        }
        self->mSaving = false;
        if (error) {
            self->mError->setText(QString::fromStdString(*error));
            self->mError->show();
        } else {
            self->mPassword->clear();
            self->mConfirmation->clear();
        }
        self->refresh();
        if (!error) {
            Q_EMIT self->saved();
        }
    });
}

} // namespace pelorn::ui
