#pragma once

// The window's look: a Fusion palette that follows the desktop's light or dark preference, the
// host's symbols drawn from the freedesktop icon theme in the palette's text colour, and the
// small set of text styles every page uses.
#include <QCheckBox>
#include <QColor>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <string>
#include <string_view>

class QApplication;
class QFrame;
class QScrollArea;
class QVBoxLayout;
class QPushButton;

namespace pelorn::ui {

// PELORN_UI_THEME=dark|light decides; else the desktop's colour-scheme preference; else light.
bool prefersDark();
void applyTheme(QApplication& app, bool dark);
bool isDark();

// A symbol of the host's ("wifi", "ipad") as an icon in `color` (the text colour by default).
QIcon symbolIcon(std::string_view symbol, QColor color = {});
// An emoji drawn at `size` pixels, for the tray.
QPixmap emojiPixmap(const QString& emoji, int size);

QColor accentColor();
QColor dangerColor();
QColor secondaryTextColor();

// The page's main action, drawn in the accent colour.
void makePrimary(QPushButton* button);
// Any other button.
void makeSecondary(QPushButton* button);

// An on/off switch with its label, in place of a check box.
class Switch : public QCheckBox {
public:
    explicit Switch(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};

// Text styles.
QLabel* heading(const QString& text, QWidget* parent = nullptr);
QLabel* caption(const QString& text, QWidget* parent = nullptr); // small capitals over a heading
QLabel* secondary(const QString& text, QWidget* parent = nullptr);
void setTextColor(QLabel* label, const QColor& color);
void setSecondary(QLabel* label);
void setDanger(QLabel* label);

// Layout spacing.
inline constexpr int pageMargin = 28;
inline constexpr int rowSpacing = 12;

QString text(const std::string& s);
// A section's page: its margins and spacing.
QVBoxLayout* pageLayout(QWidget* page);
// A rounded panel holding rows.
QFrame* panel(QWidget* parent);
QColor goodColor();
// The title of a section with nothing to show.
QLabel* emptyStateTitle(const QString& title, QWidget* parent);
// A sheet's title, smaller than a page's heading.
QLabel* sheetTitle(const QString& text, QWidget* parent);
// A row's name: semibold, shown as it is (a name is never markup).
QLabel* rowTitle(const QString& text, QWidget* parent);
// A section's state with nothing to list: a symbol, a title and a line, centred.
QWidget* emptyState(std::string_view symbol, const QString& title, const QString& line, QWidget* parent);
// An error shown in place: the danger colour, plain text, wrapped; hidden until there is one.
QLabel* errorText(const QString& objectName, QWidget* parent);

// A scrolling column of rows, the newest row inserted before the closing stretch.
struct RowList {
    explicit RowList(QWidget* parent);
    void add(QWidget* row);
    // Removes and deletes every row.
    void clear();
    QScrollArea* scroll;
    QWidget* holder;
    QVBoxLayout* rows;
};

} // namespace pelorn::ui
