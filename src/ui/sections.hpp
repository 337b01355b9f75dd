#pragma once

#include "ui/ui_host.hpp"

#include <QWidget>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QTreeWidget;
class QMessageBox;
class QPushButton;
class QStackedWidget;
class QTimer;
class QVBoxLayout;

namespace pelorn::ui {

struct RowList;

// Online state and the switch, the two permissions, keep-awake and closed-lid mode.
class ConnectSection : public QWidget {
    Q_OBJECT
public:
    ConnectSection(UiHost& host, QWidget* parent = nullptr);
    void apply(const UiState& state);
    // Asks the host again (every 2 s while shown).
    void refreshPermissions();

    QLabel* stateLabel() const { return mState; }
    QLabel* detailLabel() const { return mDetail; }
    QPushButton* onlineButton() const { return mButton; }
    QLabel* errorLabel() const { return mError; }
    QLabel* screenRecordingLabel() const { return mScreen; }
    QLabel* accessibilityLabel() const { return mAccessibility; }
    QCheckBox* keepAwakeSwitch() const { return mKeepAwake; }
    QCheckBox* startAtLoginSwitch() const { return mStartAtLogin; }
    QCheckBox* closedLidSwitch() const { return mClosedLid; }
    QLabel* closedLidErrorLabel() const { return mClosedLidError; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    UiHost& mHost;
    QLabel* mState;
    QLabel* mDetail;
    QLabel* mDot;
    QPushButton* mButton;
    QLabel* mError;
    QLabel* mScreen;
    QLabel* mAccessibility;
    QCheckBox* mKeepAwake;
    QCheckBox* mStartAtLogin;
    QCheckBox* mClosedLid;
    QLabel* mClosedLidError;
    QTimer* mPermissionTimer;
};

// The activity log: filter, range, day headings, copy and clear.
class LogsSection : public QWidget {
    Q_OBJECT
public:
    LogsSection(UiHost& host, QWidget* parent = nullptr);
    void apply(const UiState& state);

    // What the list shows now, newest first, and its rows as text ("# Today", "sentence").
    const std::vector<UiEvent>& shown() const { return mShown; }
    QStringList rows() const;
    QComboBox* filterBox() const { return mFilter; }
    QComboBox* rangeBox() const { return mRange; }
    QPushButton* copyButton() const { return mCopy; }
    QPushButton* clearButton() const { return mClear; }
    QLabel* introLabel() const { return mIntro; }
    QLabel* emptyTitle() const { return mEmptyTitle; }
    QLabel* emptyText() const { return mEmptyText; }
    bool showsList() const;
    // The confirmation "Clear" opens, while it is open.
    QMessageBox* clearConfirmation() const { return mConfirm; }

private:
    void render();

    UiHost& mHost;
    std::shared_ptr<const UiState> mState;
    std::vector<UiEvent> mShown;
    QLabel* mIntro;
    QComboBox* mFilter;
    QComboBox* mRange;
    QPushButton* mCopy;
    QPushButton* mClear;
    QStackedWidget* mBody;
    QTreeWidget* mList;
    QLabel* mEmptyTitle;
    QLabel* mEmptyText;
    QLabel* mOlderNote;
    QMessageBox* mConfirm = nullptr;
};

// The trusted devices, with removal after confirmation.
class DevicesSection : public QWidget {
    Q_OBJECT
public:
    DevicesSection(UiHost& host, QWidget* parent = nullptr);
    ~DevicesSection() override;
    void apply(const UiState& state);

    // One line per row: "symbol|name|status|added".
    QStringList rows() const;
    QPushButton* removeButton(int row) const;
    QMessageBox* removalConfirmation() const { return mConfirm; }
    bool showsEmptyState() const;

private:
    void confirmRemoval(const UiDevice& device);

    UiHost& mHost;
    std::vector<UiDevice> mDevices;
    QStackedWidget* mBody;
    std::unique_ptr<RowList> mRows;
    QStringList mRowTexts;
    std::vector<QPushButton*> mRemoveButtons;
    QMessageBox* mConfirm = nullptr;
};

// A section whose content comes with a later version: what it will hold, and what works today.
class PlaceholderSection : public QWidget {
    Q_OBJECT
public:
    PlaceholderSection(const QString& title, const QString& coming, const QString& today,
                       QWidget* parent = nullptr);
};

} // namespace pelorn::ui
