// What the window asks of the desktop: a file to open or to save into, a
// message box, a progress dialog, a link opened. The program uses DesktopDialogServices; tests put their own in its
// place to script the answers and see what was shown.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <memory>

class QWidget;

namespace sevrane::ui {

// A long task shown while it runs. Closed when destroyed.
class ProgressView {
public:
    virtual ~ProgressView() = default;
    // `done` of `total` (total 0: how far is not known).
    virtual void Update(std::uint64_t done, std::uint64_t total) = 0;
    // True once the user has asked to cancel.
    virtual bool CancelRequested() const = 0;
};

class DialogServices {
public:
    virtual ~DialogServices() = default;

    // Asks for a sound file to open, beginning at `startPath` (the file chosen
    // last time, or a folder). Returns "" when the user cancels.
    virtual QString ChooseSoundFile(QWidget* owner, const QString& startPath) = 0;
    // Asks for a file to export into, beginning at `startPath`. Returns ""
    // when the user cancels.
    virtual QString ChooseExportFile(QWidget* owner, const QString& startPath) = 0;
    // Shows the progress of a long task, with a Cancel button, owned by
    // `owner` and keeping the user's hands off it while it runs.
    virtual std::unique_ptr<ProgressView> ShowProgress(QWidget* owner, const QString& title, const QString& label) = 0;
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
    QString ChooseExportFile(QWidget* owner, const QString& startPath) override;
    std::unique_ptr<ProgressView> ShowProgress(QWidget* owner, const QString& title, const QString& label) override;
    void ShowError(QWidget* owner, const QString& title, const QString& text) override;
    void OpenLink(const QUrl& address) override;
};

// The Load dialog's filters, in order: "Sound Files (*.aif *.aifc ...)" with
// every extension the readers take, "Wave Files (*.wav)", "All Files (*)".
QStringList SoundFileFilters();
// The Export dialog's filters: one per format that can be written, by its
// extensions, "WAV (*.wav)" first.
QStringList ExportFileFilters();

}  // namespace sevrane::ui
