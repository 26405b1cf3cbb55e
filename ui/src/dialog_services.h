// What the window asks of the desktop: a file to open, a message box, a link
// opened. The program uses DesktopDialogServices; tests put their own in its
// place to script the answers and see what was shown.
#pragma once

#include <QString>
#include <QUrl>

class QWidget;

namespace sevrane::ui {

class DialogServices {
public:
    virtual ~DialogServices() = default;

    // Asks for a sound file to open, beginning at `startPath` (the file chosen
    // last time, or a folder). Returns "" when the user cancels.
    virtual QString ChooseSoundFile(QWidget* owner, const QString& startPath) = 0;
    // Shows a modal message box with the error icon, owned by `owner` (none
    // for the application's own boxes), and returns when it is closed.
    virtual void ShowError(QWidget* owner, const QString& title, const QString& text) = 0;
    // Opens an address (web or e-mail) with the desktop's handler.
    virtual void OpenLink(const QUrl& address) = 0;
};

// The real thing: Qt's file dialog and message box, the desktop's handlers.
class DesktopDialogServices final : public DialogServices {
public:
    QString ChooseSoundFile(QWidget* owner, const QString& startPath) override;
    void ShowError(QWidget* owner, const QString& title, const QString& text) override;
    void OpenLink(const QUrl& address) override;
};

}  // namespace sevrane::ui
