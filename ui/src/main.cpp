// sevrane: the Kelvane demonstration player.
//   sevrane [FILE.wav]
#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "dialog_services.h"
#include "sevrane_app.h"

int main(int argc, char** argv)
{
    // Without a display Qt would abort; say plainly what to use instead.
    if (!sevrane::ui::HasWindowSystem(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                                      std::getenv("QT_QPA_PLATFORM"))) {
        std::fprintf(stderr, "%s\n", sevrane::ui::kNoDisplayMessage);
        return 2;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sevrane"));
    QApplication::setOrganizationName(QStringLiteral("Valtrix"));
    QApplication::setDesktopFileName(QStringLiteral("sevrane"));

    const QStringList arguments = QApplication::arguments();
    sevrane::ui::DesktopDialogServices services;
    sevrane::ui::CSevraneApp app(services);
    return app.Run(arguments.size() > 1 ? arguments.at(1) : QString());
}
