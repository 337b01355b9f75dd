#pragma once

#include "ui/ui_host.hpp"

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace pelorn::ui {

// The master password, typed twice: a hint on how far it is from acceptable, and a save that
// hands it to the host, whose store alone decides. Used to create the first password and to
// replace it.
class MasterPasswordForm : public QWidget {
    Q_OBJECT
public:
    MasterPasswordForm(UiHost& host, bool replacing, QWidget* parent = nullptr);

    QLineEdit* passwordField() const { return mPassword; }
    QLineEdit* confirmationField() const { return mConfirmation; }
    QPushButton* saveButton() const { return mSave; }
    QLabel* hintLabel() const { return mHint; }
    QLabel* errorLabel() const { return mError; }
    QToolButton* showButton() const { return mShow; }
    bool isSaving() const { return mSaving; }

    void save();

Q_SIGNALS:
    void saved();

private:
    void refresh();
    void setShown(bool shown);

    UiHost& mHost;
    bool mReplacing;
    bool mSaving = false;
    bool mShown = false;
    QLineEdit* mPassword;
    QLineEdit* mConfirmation;
    QToolButton* mShow;
    QLabel* mHint;
    QLabel* mError;
    QPushButton* mSave;
};

} // namespace pelorn::ui
