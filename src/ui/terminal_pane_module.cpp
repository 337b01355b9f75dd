// The terminal pane's module: Qt WebEngine showing the shipped terminal page (xterm.js), its
// messages delivered through a QWebChannel object "bridge". Links nothing of the window's but
// the pane's interface.
#include "ui/terminal_pane.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>

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

class WebTerminalPane final : public TerminalPane {
public:
    WebTerminalPane(UiHost& host, const std::string& session, bool dark, std::function<void()> changed,
                    QWidget* parent)
        : TerminalPane(parent), mChanged(std::move(changed)) {
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
            if (mChanged) {
                mChanged();
            }
        };
        mTerminal = host.openTerminal(session, std::move(page));

        auto* channel = new QWebChannel(this);
        channel->registerObject("bridge", new Bridge(
                                              [this](const QString& name, const QString& body) {
                                                  if (mTerminal) {
                                                      mTerminal->receive(name.toStdString(),
                                                                         body.toStdString());
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
            QUrl(QString("qrc:/pelorn/terminal/mac-terminal.html?scheme=") + (dark ? "dark" : "light")));
        setFocusProxy(mView);
    }
    // First: nothing of the host reaches the page from here on.
    ~WebTerminalPane() override { detach(); }

    void detach() override { mTerminal.reset(); }
    void evaluate(const QString& script, std::function<void(const QString&)> done) override {
        mView->page()->runJavaScript(script, [done](const QVariant& value) { done(value.toString()); });
    }
    QWidget* keyTarget() const override { return mView->focusProxy(); }

private:
    std::function<void()> mChanged;
    QWebEngineView* mView;
    std::unique_ptr<UiTerminal> mTerminal;
};

} // namespace

} // namespace pelorn::ui

// Qt's own (QtGui exports it for the web engine); not in its public headers.
void qt_gl_set_global_share_context(QOpenGLContext* context);

extern "C" __attribute__((visibility("default"))) pelorn::ui::TerminalPane*
pelorn_terminal_pane_create(pelorn::UiHost& host, const std::string& session, bool dark,
                            std::function<void()> changed, QWidget* parent) {
    // The web engine draws through a GL context shared application-wide. Made here, on first use,
    // rather than by the application at start: a window that never shows a terminal never loads
    // the GL driver (some 55 MiB).
    if (!QOpenGLContext::globalShareContext()) {
        auto* context = new QOpenGLContext(qApp);
        context->create();
        qt_gl_set_global_share_context(context);
    }
    return new pelorn::ui::WebTerminalPane(host, session, dark, std::move(changed), parent);
}

#include "terminal_pane_module.moc"
