#pragma once

#include "ui/ui_host.hpp"

#include <QDialog>
#include <QWidget>

class QLabel;
class QPushButton;

namespace pelorn::ui {

class MasterPasswordForm;

// The window once signed in while no master password exists.
class PasswordOnboardingPage : public QWidget {
    Q_OBJECT
public:
    PasswordOnboardingPage(UiHost& host, QWidget* parent = nullptr);
    MasterPasswordForm* form() const { return mForm; }

private:
    MasterPasswordForm* mForm;
};

// Replacing the master password, from the Account section.
class PasswordResetSheet : public QDialog {
    Q_OBJECT
public:
    PasswordResetSheet(UiHost& host, QWidget* parent = nullptr);
    MasterPasswordForm* form() const { return mForm; }

private:
    MasterPasswordForm* mForm;
};

// A new device asks to connect: the owner approves or denies it. Open while the request is.
class ApprovalSheet : public QDialog {
    Q_OBJECT
public:
    ApprovalSheet(UiHost& host, QWidget* parent = nullptr);
    void present(const UiApproval& approval);
    // The request is over (answered, timed out, withdrawn): closes without answering.
    void dismiss();
    const std::string& deviceId() const { return mDeviceId; }
    QLabel* nameLabel() const { return mName; }
    QLabel* viaLabel() const { return mVia; }
    QPushButton* approveButton() const { return mApprove; }
    QPushButton* denyButton() const { return mDeny; }

private:
    UiHost& mHost;
    std::string mDeviceId;
    QLabel* mName;
    QLabel* mVia;
    QPushButton* mApprove;
    QPushButton* mDeny;
};

} // namespace pelorn::ui
