#include "ui/terminal_view.hpp"

#include "ui/style.hpp"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <cstdlib>
#include <unistd.h>

namespace pelorn::ui {

namespace {

// The page's messages, as its QWebChannel object "bridge" delivers them.
class Bridge : public QObject {
    Q_OBJECT
public:
    explicit Bridge(std::function<void(const QString&, const QString&)> received, QObject* parent)
        : QObject(parent), mReceived(std::move(received)) {}
    Q_INVOKABLE void post(const QString& name, const QString& body) { mReceived(name, body); }

private:
    std::function<void(const QString&, const QString&)> mReceived;
};

} // namespace

void prepareWebEngine(const std::function<void(const std::string&)>& log) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    if (::geteuid() == 0 && !std::getenv("QTWEBENGINE_DISABLE_SANDBOX")) {
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        log("⚠️ PELORN: running as root - the terminal view's web sandbox is off");
    }
}

TerminalHostView::TerminalHostView(UiHost& host, const std::string& session, QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mView = new QWebEngineView(this);
    mView->setObjectName("terminalWebView");
    mView->setContextMenuPolicy(Qt::NoContextMenu);
    // The window's own background shows through the page.
    mView->page()->setBackgroundColor(Qt::transparent);
    layout->addWidget(mView);

    UiTerminalPage page;
    page.evaluate = [this](const std::string& script, std::function<void(bool)> done) {
        if (!done) {
            mView->page()->runJavaScript(QString::fromStdString(script));
            return;
        }
        mView->page()->runJavaScript(QString::fromStdString(script), [done](const QVariant& value) {
            done(value.typeId() == QMetaType::Bool && value.toBool());
        });
    };
    page.setClipboard = [](const std::string& copied) {
        auto* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(QString::fromStdString(copied));
    };
    page.clipboardText = []() -> std::optional<std::string> {
        auto pasted = QGuiApplication::clipboard()->text();
        return pasted.isEmpty() ? std::nullopt : std::optional(pasted.toStdString());
    };
    page.changed = [this](const UiTerminalState& state) {
        mState = state;
        Q_EMIT stateChanged();
    };
    mTerminal = host.openTerminal(session, std::move(page));

    auto* channel = new QWebChannel(this);
    channel->registerObject("bridge", new Bridge(
                                          [this](const QString& name, const QString& body) {
                                              if (mTerminal) {
                                                  mTerminal->receive(name.toStdString(), body.toStdString());
                                              }
                                          },
                                          channel));
    mView->page()->setWebChannel(channel);
    connect(mView, &QWebEngineView::loadFinished, this, [this](bool) {
        if (mTerminal) {
            mTerminal->pageLoaded();
        }
    });
    mView->load(
        QUrl(QString("qrc:/pelorn/terminal/mac-terminal.html?scheme=") + (isDark() ? "dark" : "light")));
    setFocusProxy(mView);
}

TerminalHostView::~TerminalHostView() {
    // First: nothing of the host reaches the page from here on.
    detach();
}

void TerminalHostView::detach() {
    mTerminal.reset();
}

void TerminalHostView::evaluate(const QString& script, std::function<void(const QString&)> done) {
    mView->page()->runJavaScript(script, [done](const QVariant& value) { done(value.toString()); });
}

MacSessionTerminalView::MacSessionTerminalView(UiHost& host, const std::string& session, QWidget* parent)
    : QWidget(parent), mSession(session) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(pageMargin / 2, pageMargin / 2, pageMargin / 2, pageMargin / 2);
    layout->setSpacing(rowSpacing / 2);
    auto* top = new QHBoxLayout;
    mBack = new QPushButton(symbolIcon("chevron.left"), "Sessions", this);
    mBack->setObjectName("backButton");
    makeSecondary(mBack);
    top->addWidget(mBack);
    auto* name = new QLabel(text(session), this);
    name->setObjectName("sessionName");
    name->setTextFormat(Qt::PlainText);
    QFont bold = name->font();
    bold.setWeight(QFont::DemiBold);
    bold.setPointSizeF(bold.pointSizeF() * 1.15);
    name->setFont(bold);
    top->addSpacing(8);
    top->addWidget(name);
    top->addStretch(1);
    mNote = secondary("Leaving keeps it running", this);
    mNote->setWordWrap(false);
    top->addWidget(mNote);
    layout->addLayout(top);

    auto* frame = panel(this);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(1, 1, 1, 1);
    mBody = new QStackedWidget(frame);
    mTerminal = new TerminalHostView(host, session, mBody);
    auto* messagePage = new QWidget(mBody);
    auto* messageLayout = new QVBoxLayout(messagePage);
    mMessage = emptyStateTitle({}, messagePage);
    mMessage->setObjectName("terminalMessage");
    mMessage->setWordWrap(true);
    messageLayout->addStretch(1);
    messageLayout->addWidget(mMessage);
    messageLayout->addStretch(2);
    mBody->addWidget(mTerminal);
    mBody->addWidget(messagePage);
    frameLayout->addWidget(mBody);
    layout->addWidget(frame, 1);
    connect(mBack, &QPushButton::clicked, this, &MacSessionTerminalView::back);
    connect(mTerminal, &TerminalHostView::stateChanged, this, &MacSessionTerminalView::render);
    setFocusProxy(mTerminal);
}

QString MacSessionTerminalView::message() const {
    return mBody->currentIndex() == 1 ? mMessage->text() : QString();
}

void MacSessionTerminalView::render() {
    const auto& state = mTerminal->state();
    QString shown = state.error      ? text(*state.error)
                    : state.finished ? QString("This session has ended.")
                                     : QString();
    mMessage->setText(shown);
    mBody->setCurrentIndex(shown.isEmpty() ? 0 : 1);
    mNote->setVisible(!state.finished);
}

} // namespace pelorn::ui

#include "terminal_view.moc"
