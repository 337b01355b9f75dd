#pragma once

#include "ui/ui_host.hpp"

#include <QWidget>
#include <array>

class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace pelorn::ui {

struct OnboardingStep {
    const char* chip;
    const char* title;
    const char* subtitle;
};

inline constexpr std::array<OnboardingStep, 6> onboardingSteps{{
    {"CONTROL", "Your Mac, wherever you are",
     "Stream your Mac's screen at native retina resolution and drive it with a real mouse and keyboard - "
     "every click and keystroke lands as a genuine system event."},
    {"TERMINAL", "A real shell, anywhere",
     "Not a command box - an actual zsh session over a PTY. Colors, tab completion, vim and full-screen "
     "tools all behave exactly as they do at your desk."},
    {"SECURITY", "Encrypted end to end",
     "Remote sessions run over WebRTC with DTLS-SRTP. Traffic flows directly between your devices, and "
     "the relay only ever forwards packets it cannot read."},
    {"READY", "Nothing to set up",
     "No VPN, no port forwarding, no static IP. Sign in with the same Google or Apple account on both "
     "devices and your Mac simply appears on your iPhone or iPad."},
    {"GET THE APP", "Pelorn on your iPhone or iPad",
     "This Mac is the half that gets controlled. The other half is the Pelorn app on your iPhone or iPad, "
     "free on the App Store - install it, sign in with the same account, and this Mac appears there."},
    {"SIGN IN", "Sign in to get started",
     "Use the same Google or Apple account here and on your iPhone or iPad. That account is what pairs "
     "the two devices - nothing else to configure."},
}};
inline constexpr int signInStep = static_cast<int>(onboardingSteps.size()) - 1;

// The window while nobody is signed in: five pages about the product, then the sign-in page with
// the agreement that gates Google's and Apple's sign-in. Reaching the sign-in page marks onboarding
// as completed, so later the window opens there.
class OnboardingView : public QWidget {
    Q_OBJECT
public:
    OnboardingView(UiHost& host, QWidget* parent = nullptr);
    // Shown afresh (nobody signed in now): from the first page, or on the sign-in page.
    void restart(bool startAtSignIn);
    void apply(const UiState& state);
    void goTo(int page);
    int page() const { return mPage; }

    QLabel* chipLabel() const { return mChip; }
    QLabel* titleLabel() const { return mTitle; }
    QLabel* subtitleLabel() const { return mSubtitle; }
    QPushButton* nextButton() const { return mNext; }
    QPushButton* backButton() const { return mBack; }
    QPushButton* skipButton() const { return mSkip; }
    QPushButton* appStoreButton() const { return mAppStore; }
    QPushButton* copyWebsiteButton() const { return mCopyWebsite; }
    QToolButton* agreeBox() const { return mAgree; }
    QLabel* agreementLabel() const { return mAgreement; }
    QPushButton* googleButton() const { return mGoogle; }
    QPushButton* appleButton() const { return mApple; }
    QPushButton* copySignInLinkButton() const { return mCopySignInLink; }
    QPushButton* cancelLinkButton() const { return mCancelLink; }
    QLabel* statusLabel() const { return mStatus; }

private:
    void showPage();
    // The sign-in buttons act only once the owner has agreed.
    bool agreed();
    void setAgreed(bool on);
    void showStatus(const QString& status, bool error);

    UiHost& mHost;
    int mPage = 0;
    UiLinks mLinks;
    bool mSigningIn = false;
    QLabel* mChip;
    QLabel* mTitle;
    QLabel* mSubtitle;
    QStackedWidget* mArt;
    QWidget* mGetTheApp;
    QPushButton* mAppStore;
    QPushButton* mCopyWebsite;
    QWidget* mSignIn;
    QToolButton* mAgree;
    QLabel* mAgreement;
    QPushButton* mGoogle;
    QPushButton* mApple;
    QPushButton* mCopySignInLink;
    QPushButton* mCancelLink;
    QLabel* mStatus;
    QWidget* mDots;
    QPushButton* mBack;
    QPushButton* mSkip;
    QPushButton* mNext;
};

} // namespace pelorn::ui
