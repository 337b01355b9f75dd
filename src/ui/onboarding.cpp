#include "ui/onboarding.hpp"

#include "ui/style.hpp"

#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorn::ui {

namespace {

QLabel* bigSymbol(std::string_view symbol, QWidget* parent) {
    auto* icon = new QLabel(parent);
    icon->setPixmap(symbolIcon(symbol, accentColor()).pixmap(96, 96));
    icon->setAlignment(Qt::AlignCenter);
    return icon;
}

// One page's picture: a large symbol on a panel, with the lines that belong to it.
QWidget* illustration(std::string_view symbol, const std::vector<QString>& lines, bool checked,
                      QWidget* parent) {
    auto* art = panel(parent);
    art->setMinimumSize(320, 320);
    auto* layout = new QVBoxLayout(art);
    layout->setContentsMargins(28, 28, 28, 28);
    layout->setSpacing(10);
    layout->addStretch(1);
    layout->addWidget(bigSymbol(symbol, art));
    layout->addSpacing(8);
    for (const auto& line : lines) {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        if (checked) {
            auto* mark = new QLabel(art);
            mark->setPixmap(symbolIcon("checkmark", goodColor()).pixmap(16, 16));
            row->addWidget(mark);
        } else {
            row->addStretch(1);
        }
        auto* label = new QLabel(line, art);
        label->setTextFormat(Qt::PlainText);
        row->addWidget(label);
        row->addStretch(1);
        layout->addLayout(row);
    }
    layout->addStretch(1);
    return art;
}

QPushButton* wideButton(const QString& label, QWidget* parent) {
    auto* button = new QPushButton(label, parent);
    button->setMinimumHeight(38);
    return button;
}

} // namespace

OnboardingView::OnboardingView(UiHost& host, QWidget* parent) : QWidget(parent), mHost(host) {
    setObjectName("onboarding");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(pageMargin + 12, pageMargin + 12, pageMargin + 12, pageMargin);
    outer->setSpacing(rowSpacing);
    auto* body = new QHBoxLayout;
    body->setSpacing(36);
    outer->addLayout(body, 1);

    auto* column = new QWidget(this);
    column->setMaximumWidth(440);
    auto* text = new QVBoxLayout(column);
    text->setContentsMargins(0, 0, 0, 0);
    text->setSpacing(rowSpacing);
    text->addStretch(1);
    mChip = caption({}, column);
    mChip->setObjectName("onboardingChip");
    setTextColor(mChip, accentColor());
    mTitle = heading({}, column);
    mTitle->setObjectName("onboardingTitle");
    mTitle->setWordWrap(true);
    mSubtitle = secondary({}, column);
    mSubtitle->setObjectName("onboardingSubtitle");
    text->addWidget(mChip);
    text->addWidget(mTitle);
    text->addWidget(mSubtitle);
    text->addSpacing(6);

    // "GET THE APP": the store page and the product's address.
    mGetTheApp = new QWidget(column);
    auto* getTheApp = new QHBoxLayout(mGetTheApp);
    getTheApp->setContentsMargins(0, 0, 0, 0);
    mAppStore = new QPushButton("Open the App Store", mGetTheApp);
    mAppStore->setObjectName("appStoreButton");
    makePrimary(mAppStore);
    mCopyWebsite = new QPushButton("Copy the link", mGetTheApp);
    mCopyWebsite->setObjectName("copyWebsiteButton");
    makeSecondary(mCopyWebsite);
    getTheApp->addWidget(mAppStore);
    getTheApp->addWidget(mCopyWebsite);
    getTheApp->addStretch(1);
    text->addWidget(mGetTheApp);
    connect(mAppStore, &QPushButton::clicked, this, [this] { mHost.openExternal(mLinks.appStore); });
    connect(mCopyWebsite, &QPushButton::clicked, this, [this] {
        QApplication::clipboard()->setText(QString::fromStdString(mLinks.website));
        mCopyWebsite->setText("Link copied");
    });

    // The sign-in page.
    mSignIn = new QWidget(column);
    auto* signIn = new QVBoxLayout(mSignIn);
    signIn->setContentsMargins(0, 0, 0, 0);
    signIn->setSpacing(10);
    auto* agreement = new QHBoxLayout;
    agreement->setSpacing(6);
    mAgree = new QToolButton(mSignIn);
    mAgree->setObjectName("agreeBox");
    mAgree->setCheckable(true);
    mAgree->setAutoRaise(true);
    mAgree->setAccessibleName("I agree to the Terms and Privacy Policy");
    mAgreement = new QLabel(mSignIn);
    mAgreement->setObjectName("agreementText");
    mAgreement->setOpenExternalLinks(false);
    agreement->addWidget(mAgree);
    agreement->addWidget(mAgreement);
    agreement->addStretch(1);
    signIn->addLayout(agreement);
    setAgreed(false);
    connect(mAgree, &QToolButton::toggled, this, [this](bool on) { setAgreed(on); });
    connect(mAgreement, &QLabel::linkActivated, this,
            [this](const QString& link) { mHost.openExternal(link.toStdString()); });
    mGoogle = wideButton("Continue with Google", mSignIn);
    mGoogle->setObjectName("googleButton");
    makePrimary(mGoogle);
    mApple = wideButton("Continue with Apple", mSignIn);
    mApple->setObjectName("appleButton");
    makeSecondary(mApple);
    mCopySignInLink = new QPushButton("Copy sign-in link instead", mSignIn);
    mCopySignInLink->setObjectName("copySignInLinkButton");
    mCopySignInLink->setFlat(true);
    mCopySignInLink->setCursor(Qt::PointingHandCursor);
    mCopySignInLink->setStyleSheet(
        "QPushButton { border: none; padding: 2px 0; color: " + accentColor().name() + "; }");
    mStatus = secondary({}, mSignIn);
    mStatus->setObjectName("signInStatus");
    mCancelLink = new QPushButton("Cancel", mSignIn);
    mCancelLink->setObjectName("cancelLinkButton");
    makeSecondary(mCancelLink);
    mCancelLink->hide();
    auto* linkRow = new QHBoxLayout;
    linkRow->addWidget(mCopySignInLink);
    linkRow->addStretch(1);
    signIn->addWidget(mGoogle);
    signIn->addWidget(mApple);
    signIn->addLayout(linkRow);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(mStatus, 1);
    statusRow->addWidget(mCancelLink);
    signIn->addLayout(statusRow);
    text->addWidget(mSignIn);
    text->addStretch(2);
    body->addWidget(column, 1);

    connect(mGoogle, &QPushButton::clicked, this, [this] {
        if (!agreed() || mSigningIn) {
            return;
        }
        mSigningIn = true;
        mGoogle->setText("Signing in...");
        showStatus("Finish signing in in your browser.", false);
        QPointer<OnboardingView> self(this);
        mHost.signInWithGoogle([self](std::optional<std::string> error) {
            if (!self) {
                return;
            }
            self->mSigningIn = false;
            self->mGoogle->setText("Continue with Google");
            self->showStatus(error ? QString::fromStdString(*error) : QString(), error.has_value());
        });
    });
    connect(mApple, &QPushButton::clicked, this, [this] {
        if (!agreed()) {
            return;
        }
        showStatus("Finish signing in with Apple in your browser.", false);
        QPointer<OnboardingView> self(this);
        mHost.signInWithApple([self](std::optional<std::string> error) {
            if (self) {
                self->showStatus(error ? QString::fromStdString(*error) : QString(), error.has_value());
            }
        });
    });
    connect(mCopySignInLink, &QPushButton::clicked, this, [this] {
        if (!agreed()) {
            return;
        }
        QPointer<OnboardingView> self(this);
        mHost.copyGoogleSignInLink([self](std::string link, std::optional<std::string> error) {
            if (!self) {
                return;
            }
            if (error) {
                self->showStatus(QString::fromStdString(*error), true);
                return;
            }
            QApplication::clipboard()->setText(QString::fromStdString(link));
            self->showStatus("Link copied - paste it in any browser", false);
            self->mCancelLink->show();
        });
    });
    connect(mCancelLink, &QPushButton::clicked, this, [this] {
        mHost.cancelSignIn();
        mCancelLink->hide();
        showStatus({}, false);
    });

    mArt = new QStackedWidget(this);
    mArt->addWidget(illustration("display", {"Real clicks", "Real keystrokes"}, false, mArt));
    mArt->addWidget(illustration("terminal", {"zsh · vim · tmux"}, false, mArt));
    mArt->addWidget(illustration("lock.shield", {"DTLS-SRTP, device to device"}, false, mArt));
    mArt->addWidget(illustration(
        "checkmark.seal",
        {"No VPN to configure", "No port forwarding", "No static IP needed", "Just sign in - done"}, true,
        mArt));
    mArt->addWidget(illustration("ipad.and.iphone", {"Pelorn for iPhone and iPad"}, false, mArt));
    auto* mark = panel(mArt);
    auto* markLayout = new QVBoxLayout(mark);
    auto* emoji = new QLabel(mark);
    emoji->setPixmap(emojiPixmap(QString::fromUtf8("📱"), 96));
    emoji->setAlignment(Qt::AlignCenter);
    markLayout->addWidget(emoji);
    mArt->addWidget(mark);
    body->addWidget(mArt, 1);

    // The dots and the navigation.
    auto* navigation = new QHBoxLayout;
    mDots = new QWidget(this);
    auto* dots = new QHBoxLayout(mDots);
    dots->setContentsMargins(0, 0, 0, 0);
    dots->setSpacing(6);
    for (std::size_t i = 0; i < onboardingSteps.size(); ++i) {
        dots->addWidget(new QLabel(mDots));
    }
    navigation->addWidget(mDots);
    navigation->addStretch(1);
    mBack = new QPushButton("Back", this);
    mBack->setObjectName("backButton");
    makeSecondary(mBack);
    mSkip = new QPushButton("Skip", this);
    mSkip->setObjectName("skipButton");
    makeSecondary(mSkip);
    mNext = new QPushButton(symbolIcon("arrow.right", Qt::white), "Next", this);
    mNext->setObjectName("nextButton");
    mNext->setLayoutDirection(Qt::RightToLeft); // the arrow after the word
    makePrimary(mNext);
    navigation->addWidget(mBack);
    navigation->addWidget(mSkip);
    navigation->addWidget(mNext);
    outer->addLayout(navigation);
    connect(mBack, &QPushButton::clicked, this, [this] { goTo(mPage - 1); });
    connect(mSkip, &QPushButton::clicked, this, [this] { goTo(signInStep); });
    connect(mNext, &QPushButton::clicked, this, [this] { goTo(mPage + 1); });
    showPage();
}

void OnboardingView::restart(bool startAtSignIn) {
    setAgreed(false);
    mSigningIn = false;
    mGoogle->setText("Continue with Google");
    mCancelLink->hide();
    showStatus({}, false);
    mCopyWebsite->setText("Copy the link");
    goTo(startAtSignIn ? signInStep : 0);
}

void OnboardingView::apply(const UiState& state) {
    if (state.links == mLinks && !mAgreement->text().isEmpty()) {
        return;
    }
    mLinks = state.links;
    auto site = QString::fromStdString(mLinks.website).toHtmlEscaped();
    mAgreement->setText(site.isEmpty()
                            ? "I agree to the Terms and Privacy Policy"
                            : "I agree to the <a href=\"" + site + "/terms\">Terms</a> and <a href=\"" +
                                  site + "/privacy\">Privacy Policy</a>");
    mAppStore->setVisible(!mLinks.appStore.empty());
    mCopyWebsite->setVisible(!mLinks.website.empty());
}

void OnboardingView::goTo(int page) {
    mPage = std::clamp(page, 0, signInStep);
    showPage();
    if (mPage == signInStep) {
        mHost.setHasCompletedOnboarding();
    }
}

void OnboardingView::showPage() {
    const auto& step = onboardingSteps[static_cast<std::size_t>(mPage)];
    mChip->setText(step.chip);
    mTitle->setText(step.title);
    mSubtitle->setText(step.subtitle);
    mArt->setCurrentIndex(mPage);
    mGetTheApp->setVisible(mPage == 4);
    mSignIn->setVisible(mPage == signInStep);
    mBack->setVisible(mPage >= 1);
    mSkip->setVisible(mPage < signInStep);
    mNext->setVisible(mPage < signInStep);
    for (int i = 0; i < mDots->layout()->count(); ++i) {
        auto* dot = static_cast<QLabel*>(mDots->layout()->itemAt(i)->widget());
        dot->setText(QString::fromUtf8("●"));
        setTextColor(dot, i == mPage ? accentColor() : secondaryTextColor());
    }
}

bool OnboardingView::agreed() {
    if (!mAgree->isChecked()) {
        showStatus("Agree to the Terms and Privacy Policy first.", false);
        return false;
    }
    return true;
}

void OnboardingView::setAgreed(bool on) {
    mAgree->blockSignals(true);
    mAgree->setChecked(on);
    mAgree->blockSignals(false);
    mAgree->setIcon(symbolIcon(on ? "checkmark.square.fill" : "square", on ? accentColor() : QColor()));
    mAgree->setProperty("symbol", on ? "checkmark.square.fill" : "square");
    if (on && mStatus->text() == "Agree to the Terms and Privacy Policy first.") {
        showStatus({}, false);
    }
}

void OnboardingView::showStatus(const QString& status, bool error) {
    mStatus->setText(status);
    if (error) {
        setDanger(mStatus);
    } else {
        setSecondary(mStatus);
    }
}

} // namespace pelorn::ui
