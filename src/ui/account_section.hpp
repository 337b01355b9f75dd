#pragma once

#include "ui/ui_host.hpp"

#include <QDialog>
#include <QPushButton>
#include <QWidget>

class QComboBox;
class QLabel;
class QMessageBox;
class QToolButton;
class QVBoxLayout;

namespace pelorn::ui {

// Rows under a small caption, in one rounded panel with a line between rows.
class SettingsGroup : public QWidget {
    Q_OBJECT
public:
    // An empty caption draws none.
    SettingsGroup(const QString& caption, QWidget* parent = nullptr);
    void add(QWidget* row);

private:
    QVBoxLayout* mRows;
    int mCount = 0;
};

// A row that shows: a symbol, a title, and on the right a value or a control.
class SettingsRow : public QWidget {
    Q_OBJECT
public:
    SettingsRow(std::string_view symbol, const QString& title, QWidget* parent = nullptr);
    void setValue(const QString& value);
    // In place of the value text.
    void setTrailing(QWidget* widget);
    QLabel* valueLabel() const { return mValue; }

private:
    QLabel* mValue;
};

// A row that acts when pressed: the same look, the whole row a button.
class SettingsNavRow : public QPushButton {
    Q_OBJECT
public:
    SettingsNavRow(std::string_view symbol, const QString& title, QWidget* parent = nullptr);
    void setValue(const QString& value);
    // The title in the danger colour, for what cannot be undone.
    void setDestructive();
    QLabel* titleLabel() const { return mTitle; }
    QLabel* valueLabel() const { return mValue; }

private:
    QLabel* mTitle;
    QLabel* mValue;
};

// The account: who is signed in, the terminal sessions' idle lifetime, the master password and
// the approved devices, updates, support, the account's id, signing out and deleting the account.
class AccountSection : public QWidget {
    Q_OBJECT
public:
    AccountSection(UiHost& host, QWidget* parent = nullptr);
    void apply(const UiState& state);

    QLabel* emailLabel() const { return mEmail; }
    QComboBox* lifetimePicker() const { return mLifetime; }
    SettingsRow* passwordRow() const { return mPassword; }
    SettingsRow* devicesRow() const { return mDevices; }
    SettingsNavRow* resetButton() const { return mReset; }
    SettingsNavRow* updatesButton() const { return mUpdates; }
    SettingsNavRow* supportButton() const { return mSupport; }
    SettingsRow* accountIdRow() const { return mAccountId; }
    QToolButton* copyIdButton() const { return mCopyId; }
    SettingsNavRow* signOutButton() const { return mSignOut; }
    SettingsNavRow* deleteButton() const { return mDelete; }
    QMessageBox* deleteConfirmation() const { return mConfirm; }
    QLabel* errorLabel() const { return mError; }

private:
    void confirmDeletion();

    UiHost& mHost;
    std::string mUid;
    std::string mSupportAddress;
    bool mDeleting = false; // from pressing "Delete" until the deletion has answered
    QLabel* mEmail;
    QComboBox* mLifetime;
    SettingsRow* mPassword;
    SettingsRow* mDevices;
    SettingsNavRow* mReset;
    SettingsNavRow* mUpdates;
    SettingsNavRow* mSupport;
    SettingsRow* mAccountId;
    QToolButton* mCopyId;
    SettingsNavRow* mSignOut;
    SettingsNavRow* mDelete;
    QMessageBox* mConfirm = nullptr;
    QLabel* mError;
};

// A newer release is offered: what it is, the download, and skipping it unless it is required.
class UpdateSheet : public QDialog {
    Q_OBJECT
public:
    UpdateSheet(UiHost& host, QWidget* parent = nullptr);
    // `instruction`: how to update where there is no download (a distribution's package).
    void present(const UiRelease& release, bool required, const std::string& instruction = {});
    QLabel* titleLabel() const { return mTitle; }
    QLabel* textLabel() const { return mText; }
    QLabel* instructionLabel() const { return mInstruction; }
    QPushButton* downloadButton() const { return mDownload; }
    QPushButton* skipButton() const { return mSkip; }
    QPushButton* laterButton() const { return mLater; }

private:
    UiHost& mHost;
    std::string mUrl;
    QLabel* mTitle;
    QLabel* mText;
    QLabel* mInstruction;
    QPushButton* mDownload;
    QPushButton* mSkip;
    QPushButton* mLater;
};

} // namespace pelorn::ui
