// sevrane: the Kelvane demonstration player.
//   sevrane [FILE]
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "command_line.h"
#include "dialog_services.h"
#include "sevrane_app.h"

int main(int argc, char** argv)
{
    using sevrane::ui::CommandLine;
    // The command line is read first, so that --help and mistakes need no display.
    const CommandLine line = sevrane::ui::ParseCommandLine(argc, argv);
    if (line.action == CommandLine::Action::ShowHelp) {
        std::fputs(sevrane::ui::kUsageText, stdout);
        return 0;
    }
    if (line.action == CommandLine::Action::UsageError) {
        std::fprintf(stderr, "sevrane: %s\n%s", line.mistake.c_str(), sevrane::ui::kUsageText);
        return sevrane::ui::kUsageStatus;
    }
    // Without a display Qt would abort; say plainly what to use instead.
    if (!sevrane::ui::HasWindowSystem(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                                      std::getenv("QT_QPA_PLATFORM"))) {
        std::fprintf(stderr, "%s\n", sevrane::ui::kNoDisplayMessage);
        return sevrane::ui::kNoDisplayStatus;
    }
    // Qt sees the program's name only: the file, already read, is not for it
    // to take as one of its options.
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("sevrane"));
    QApplication::setOrganizationName(QStringLiteral("Valtrix"));
    QApplication::setDesktopFileName(QStringLiteral("sevrane"));

    sevrane::ui::DesktopDialogServices services;
    sevrane::ui::CSevraneApp app(services);
    return app.Run(line.soundPath);
}
