// The program as a whole: its start with a file, its refusal to start
// without a display, and pictures of its windows for a person to look at.
#include <QDialog>
#include <QImage>
#include <QSlider>
#include <cstdio>
#include <string>

#include "about_dlg.h"
#include "sevrane_app.h"
#include "window_fixture.h"

namespace sevrane::ui::test {
namespace {

struct ProgramResult {
    int status = -1;
    std::string output;
};

ProgramResult RunWithoutDisplay()
{
    const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") +
                                SEVRANE_PROGRAM + "' 2>&1";
    ProgramResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        result.output += buffer;
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(Program, WithoutADisplaySaysWhatToUseInsteadAndFails)
{
    const ProgramResult result = RunWithoutDisplay();
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.status, -1);
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    EXPECT_NE(result.output.find("kelvane-play"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("kelvane-render"), std::string::npos) << result.output;
}

TEST_F(WindowTest, FileNamedAtStartLoadsWhenTheWindowOpens)
{
    window.reset();
    const QString file = GoodFile();
    CSevraneApp app(services);
    bool loaded = false;
    WithNextModal(
        [&](QWidget* modal) {
            auto* dialog = qobject_cast<CSevraneDlg*>(modal);
            ASSERT_NE(dialog, nullptr);
            for (int i = 0; i < 100 && dialog->CurrentSound() == nullptr; ++i) {
                QApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            loaded = dialog->CurrentSound() != nullptr && dialog->GetPlayer().StreamOpen();
        },
        [&] { EXPECT_EQ(app.Run(file), 0); });
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(services.boxes.empty());
}

// A sound worth looking at: a tone swelling and fading, in two bursts.
QString PictureFile(sevrane::test::TempFolder& folder)
{
    const int rate = 44100;
    const int frames = rate * 3;
    sevrane::test::Bytes data;
    for (int frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / rate;
        const double envelope = std::pow(std::sin(M_PI * std::fmod(t, 1.5) / 1.5), 2.0);
        const double value = 0.9 * envelope * std::sin(2.0 * M_PI * 220.0 * t);
        for (int c = 0; c < 2; ++c) {
            sevrane::test::AppendLe(data, static_cast<std::uint16_t>(std::lround(value * (c == 0 ? 32767 : 24000))),
                                    2);
        }
    }
    return QString::fromStdString(folder.Write("picture.wav", sevrane::test::Wave(1, 2, rate, 16, data)));
}

TEST_F(WindowTest, PicturesOfTheWindowsForAPersonToLookAt)
{
    ChooseAndLoad(PictureFile(folder));
    ASSERT_NE(window->CurrentSound(), nullptr);
    Find<QSlider>("pitchSlider")->setValue(20);
    Find<QSlider>("speedSlider")->setValue(-60);
    window->show();
    QApplication::processEvents();

    const QImage picture = window->grab().toImage();
    EXPECT_EQ(picture.size(), window->size() * window->devicePixelRatioF());
    EXPECT_TRUE(picture.save(QStringLiteral(SEVRANE_PICTURE_DIR "/sevrane-window.png")));

    CAboutDlg about(services, window.get());
    about.show();
    QApplication::processEvents();
    EXPECT_TRUE(about.grab().toImage().save(QStringLiteral(SEVRANE_PICTURE_DIR "/sevrane-about.png")));
}

}  // namespace
}  // namespace sevrane::ui::test
