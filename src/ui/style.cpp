#include "ui/style.hpp"

#include "ui/ui_text.hpp"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QPainter>
#include <QPalette>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QStyleFactory>
#include <QVBoxLayout>

namespace pelorn::ui {

namespace {

bool gDark = false;

QColor mixed(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(a.redF() * (1 - t) + b.redF() * t, a.greenF() * (1 - t) + b.greenF() * t,
                            a.blueF() * (1 - t) + b.blueF() * t);
}

} // namespace

bool prefersDark() {
    auto chosen = qEnvironmentVariable("PELORN_UI_THEME");
    if (chosen == "dark" || chosen == "light") {
        return chosen == "dark";
    }
    if (qEnvironmentVariable("GTK_THEME").endsWith(":dark")) {
        return true;
    }
    // GNOME and its relatives keep the preference here; a desktop without it reads as light.
    QProcess gsettings;
    gsettings.start("gsettings", {"get", "org.gnome.desktop.interface", "color-scheme"});
    if (gsettings.waitForFinished(1000) && gsettings.exitCode() == 0) {
        return gsettings.readAllStandardOutput().contains("dark");
    }
    return false;
}

void applyTheme(QApplication& app, bool dark) {
    gDark = dark;
    app.setStyle(QStyleFactory::create("Fusion"));
    QPalette p;
    QColor window = dark ? QColor(0x1e, 0x20, 0x24) : QColor(0xf6, 0xf7, 0xf9);
    QColor base = dark ? QColor(0x26, 0x29, 0x2e) : QColor(0xff, 0xff, 0xff);
    QColor text = dark ? QColor(0xe8, 0xea, 0xed) : QColor(0x1f, 0x23, 0x28);
    QColor button = dark ? QColor(0x31, 0x35, 0x3b) : QColor(0xec, 0xee, 0xf1);
    QColor accent = dark ? QColor(0x4c, 0x9a, 0xff) : QColor(0x1a, 0x6d, 0xe0);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, mixed(base, window, 0.5));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, QColor(Qt::white));
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, mixed(text, base, 0.5));
    p.setColor(QPalette::Link, accent);
    p.setColor(QPalette::Mid, mixed(text, window, 0.75));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, mixed(text, window, 0.55));
    }
    app.setPalette(p);
    QColor border = mixed(text, window, 0.85);
    QColor accentHover = dark ? accent.lighter(115) : accent.darker(110);
    QColor buttonHover = dark ? button.lighter(120) : button.darker(105);
    QString disabledText = p.color(QPalette::Disabled, QPalette::ButtonText).name();
    app.setStyleSheet(QString(R"(
        QPushButton[primary="true"] { background-color: %1; color: white; border: none; border-radius: 6px;
                                      padding: 7px 18px; font-weight: 600; }
        QPushButton[primary="true"]:hover { background-color: %2; }
        QPushButton[primary="true"]:disabled { background-color: %3; color: %4; }
        QPushButton[secondary="true"] { background-color: %3; color: %7; border: 1px solid %6;
                                        border-radius: 6px; padding: 5px 14px; }
        QPushButton[secondary="true"]:hover { background-color: %8; }
        QPushButton[secondary="true"]:disabled { color: %4; }
        QFrame#panel { background-color: %5; border: 1px solid %6; border-radius: 8px; }
    )")
                          .arg(accent.name(), accentHover.name(), button.name(), disabledText, base.name(),
                               border.name(), text.name(), buttonHover.name()));
    QFont font = app.font();
    font.setPointSizeF(10.5);
    app.setFont(font);
    // Where the desktop keeps its icon themes, as the XDG base directories say; platforms without a
    // desktop theme of their own (offscreen, a bare X server) would otherwise find none.
    QStringList paths = QIcon::themeSearchPaths();
    QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS", "/usr/local/share:/usr/share").split(':');
    dataDirs.prepend(qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share"));
    for (const auto& dir : dataDirs) {
        if (!dir.isEmpty() && !paths.contains(dir + "/icons")) {
            paths << dir + "/icons";
        }
    }
    QIcon::setThemeSearchPaths(paths);
    QIcon::setThemeName("Adwaita");
}

bool isDark() {
    return gDark;
}

QColor accentColor() {
    return QApplication::palette().color(QPalette::Highlight);
}

QColor dangerColor() {
    return gDark ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc0, 0x1c, 0x28);
}

QColor secondaryTextColor() {
    auto p = QApplication::palette();
    return mixed(p.color(QPalette::WindowText), p.color(QPalette::Window), 0.4);
}

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

QVBoxLayout* pageLayout(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(pageMargin, pageMargin, pageMargin, pageMargin);
    layout->setSpacing(rowSpacing);
    return layout;
}

// A rounded panel holding rows.
QFrame* panel(QWidget* parent) {
    auto* frame = new QFrame(parent);
    frame->setObjectName("panel");
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setAutoFillBackground(true);
    frame->setBackgroundRole(QPalette::Base);
    return frame;
}

QColor goodColor() {
    return isDark() ? QColor(0x4c, 0xd9, 0x64) : QColor(0x1e, 0x8e, 0x3e);
}

// The title of a section with nothing to show.
QLabel* emptyStateTitle(const QString& title, QWidget* parent) {
    auto* label = new QLabel(title, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.3);
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QLabel* sheetTitle(const QString& text, QWidget* parent) {
    auto* title = heading(text, parent);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 0.7);
    title->setFont(font);
    return title;
}

QLabel* rowTitle(const QString& text, QWidget* parent) {
    auto* name = new QLabel(text, parent);
    name->setTextFormat(Qt::PlainText);
    QFont bold = name->font();
    bold.setWeight(QFont::DemiBold);
    name->setFont(bold);
    return name;
}

QWidget* emptyState(std::string_view symbol, const QString& title, const QString& line, QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(1);
    auto* icon = new QLabel(page);
    icon->setPixmap(symbolIcon(symbol, secondaryTextColor()).pixmap(48, 48));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    layout->addWidget(emptyStateTitle(title, page));
    auto* text = secondary(line, page);
    text->setAlignment(Qt::AlignCenter);
    layout->addWidget(text);
    layout->addStretch(2);
    return page;
}

QLabel* errorText(const QString& objectName, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    setDanger(label);
    label->hide();
    return label;
}

RowList::RowList(QWidget* parent)
    : scroll(new QScrollArea(parent)), holder(new QWidget(scroll)), rows(new QVBoxLayout(holder)) {
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(8);
    rows->addStretch(1);
    scroll->setWidget(holder);
}

void RowList::add(QWidget* row) {
    rows->insertWidget(rows->count() - 1, row);
}

void RowList::clear() {
    while (rows->count() > 1) {
        auto* item = rows->takeAt(0);
        delete item->widget();
        delete item;
    }
}

QIcon symbolIcon(std::string_view symbol, QColor color) {
    // The one-colour symbolic form takes the palette's colour; a full-colour icon is the fallback.
    auto name = QString::fromUtf8(iconName(symbol).data(), static_cast<int>(iconName(symbol).size()));
    QIcon themed = QIcon::fromTheme(name + "-symbolic");
    bool symbolic = !themed.isNull();
    if (!symbolic) {
        themed = QIcon::fromTheme(name);
        if (!color.isValid()) {
            return themed;
        }
    }
    if (!color.isValid()) {
        color = QApplication::palette().color(QPalette::WindowText);
    }
    QIcon out;
    for (int size : {16, 20, 24, 32, 48, 96}) {
        QPixmap source = themed.pixmap(size, size);
        if (source.isNull()) {
            continue;
        }
        if (!symbolic) {
            out.addPixmap(source);
            continue;
        }
        // Symbolic icons are drawn in one grey: give them the text colour of this palette.
        QPixmap tinted(source.size());
        tinted.setDevicePixelRatio(source.devicePixelRatio());
        tinted.fill(Qt::transparent);
        QPainter painter(&tinted);
        painter.drawPixmap(0, 0, source);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(tinted.rect(), color);
        painter.end();
        out.addPixmap(tinted);
    }
    return out;
}

QPixmap emojiPixmap(const QString& emoji, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QFont font("Noto Color Emoji");
    font.setPixelSize(static_cast<int>(size * 0.8));
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, emoji);
    return pixmap;
}

void makePrimary(QPushButton* button) {
    button->setProperty("primary", true);
}

void makeSecondary(QPushButton* button) {
    button->setProperty("secondary", true);
}

Switch::Switch(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
    setCursor(Qt::PointingHandCursor);
}

QSize Switch::sizeHint() const {
    QFontMetrics metrics(font());
    return {40 + 10 + metrics.horizontalAdvance(text()) + 4, std::max(24, metrics.height() + 6)};
}

bool Switch::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(1, (height() - 20) / 2.0, 38, 20);
    auto palette = this->palette();
    QColor off = mixed(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.7);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? accentColor() : off);
    if (!isEnabled()) {
        painter.setOpacity(0.5);
    }
    painter.drawRoundedRect(track, 10, 10);
    painter.setBrush(Qt::white);
    double x = isChecked() ? track.right() - 18 : track.left() + 2;
    painter.drawEllipse(QRectF(x, track.top() + 2, 16, 16));
    painter.setOpacity(1);
    painter.setPen(palette.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(QRect(50, 0, width() - 50, height()), Qt::AlignVCenter | Qt::AlignLeft, text());
}

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 2.0);
    font.setWeight(QFont::Bold);
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

QLabel* caption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.2);
    label->setFont(font);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, accentColor());
    label->setPalette(p);
    return label;
}

QLabel* secondary(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    setSecondary(label);
    return label;
}

void setTextColor(QLabel* label, const QColor& color) {
    // A label on a panel draws with the Text role, elsewhere with WindowText.
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    label->setPalette(p);
}

void setSecondary(QLabel* label) {
    setTextColor(label, secondaryTextColor());
}

void setDanger(QLabel* label) {
    setTextColor(label, dangerColor());
    label->setWordWrap(true);
}

} // namespace pelorn::ui
