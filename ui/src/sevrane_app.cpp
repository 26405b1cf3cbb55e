#include "sevrane_app.h"

#include <QTimer>

#include "dialog_services.h"
#include "playback/player.h"
#include "sevrane_dlg.h"

namespace sevrane::ui {

namespace {

bool IsSet(const char* value) noexcept
{
    return value != nullptr && value[0] != '\0';
}

}  // namespace

bool HasWindowSystem(const char* display, const char* waylandDisplay, const char* qtPlatform) noexcept
{
    return IsSet(display) || IsSet(waylandDisplay) || IsSet(qtPlatform);
}

int CSevraneApp::Run(const std::string& soundPath)
{
    if (kelvane::playback::StartAudio() != 0) {
        services.ShowError(nullptr, QString::fromLatin1(kAudioLibraryTitle), QString::fromLatin1(kStartFailedText));
    }
    {
        // The window, and with it the player and its stream, ends before the
        // audio library does.
        CSevraneDlg dialog(services);
        if (!soundPath.empty()) {
            QTimer::singleShot(0, &dialog, [&dialog, soundPath] { dialog.LoadNativeFile(soundPath); });
        }
        dialog.exec();
    }
    if (kelvane::playback::EndAudio() != 0) {
        services.ShowError(nullptr, QString::fromLatin1(kAudioLibraryTitle), QString::fromLatin1(kEndFailedText));
    }
    return 0;
}

}  // namespace sevrane::ui
