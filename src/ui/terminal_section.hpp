#pragma once

#include "ui/ui_host.hpp"

#include <QDialog>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace pelorn::ui {

class MacSessionTerminalView;
struct RowList;

// "New session": a name (a suggestion to start with), and the create that may fail in place.
class NewSessionSheet : public QDialog {
    Q_OBJECT
public:
    NewSessionSheet(UiHost& host, QWidget* parent = nullptr);
    // Opens it with a fresh suggestion in the name field.
    void present();

    QLineEdit* nameField() const { return mName; }
    QPushButton* suggestButton() const { return mSuggest; }
    QPushButton* createButton() const { return mCreate; }
    QPushButton* cancelButton() const { return mCancel; }
    QLabel* errorLabel() const { return mError; }
    bool isCreating() const { return mCreating; }

private:
    void suggest();
    void create();

    UiHost& mHost;
    QLineEdit* mName;
    QPushButton* mSuggest;
    QPushButton* mCreate;
    QPushButton* mCancel;
    QLabel* mError;
    bool mCreating = false;
};

// The "Terminal" section: the tmux sessions of this computer, a new one, and each one opened here
// or in the desktop's terminal, its attach command copied, or ended.
class TerminalSessionsView : public QWidget {
    Q_OBJECT
public:
    TerminalSessionsView(UiHost& host, QWidget* parent = nullptr);
    ~TerminalSessionsView() override;
    void apply(const UiState& state);

    // One line per row: "number|name|running since|status".
    QStringList rows() const;
    bool showsUnavailable() const;
    bool showsEmptyState() const;
    QPushButton* newButton() const { return mNew; }
    NewSessionSheet* sheet() const { return mSheet; }
    QPushButton* openButton(int row) const;
    QToolButton* moreButton(int row) const;
    // The "More" menu, for the session whose button opened it last.
    QMenu* moreMenu() const { return mMenu; }
    QMessageBox* endConfirmation() const { return mConfirm; }
    QLabel* errorLabel() const { return mError; }
    // The session open in the window, while one is.
    MacSessionTerminalView* terminalView() const { return mTerminal; }
    void openSession(const std::string& name);
    void closeSession();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void confirmEnd(const std::string& name);

    UiHost& mHost;
    std::vector<UiSession> mSessions;
    QStackedWidget* mPages; // the list, or a session open
    QStackedWidget* mBody;  // unavailable, empty, or the rows
    std::unique_ptr<RowList> mRows;
    QStringList mRowTexts;
    std::vector<QPushButton*> mOpenButtons;
    std::vector<QToolButton*> mMoreButtons;
    QPushButton* mNew;
    QLabel* mError;
    NewSessionSheet* mSheet;
    QMenu* mMenu;
    std::string mMenuSession;
    QMessageBox* mConfirm = nullptr;
    std::optional<std::string> mChosen; // the session whose ending is being confirmed
    MacSessionTerminalView* mTerminal = nullptr;
};

} // namespace pelorn::ui
