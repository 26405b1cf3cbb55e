// The program as a whole: its command line, its start with a file, its
// refusal to start without a display, and pictures of its windows for a
// person to look at.
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QDeadlineTimer>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <string>

#include "about_dlg.h"
#include "display.h"
#include "sevrane_app.h"
#include "window_fixture.h"

namespace sevrane::ui::test {
namespace {

struct ProgramResult {
    int status = -1;
    std::string output;
};

// Runs sevrane with `arguments` (shell words) and no display to open a window on.
ProgramResult RunWithoutDisplay(const std::string& arguments = "")
{
    const std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") +
                                SEVRANE_PROGRAM + "' " + arguments + " 2>&1";
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

// The command line is answered before the display is looked for.
TEST(Program, AnswersHelpAndRefusesMistakesWithoutADisplay)
{
    struct Row {
        const char* arguments;
        int status;
        const char* said;
    };
    const Row rows[] = {
        {"--help", 0, "Usage: sevrane [FILE]\n"},
        {"-h", 0, "Usage: sevrane [FILE]\n"},
        {"--volume=11 tone.wav", 1, "sevrane: unknown option '--volume=11'\nUsage: sevrane [FILE]\n"},
        {"-x", 1, "sevrane: unknown option '-x'\n"},
        {"a.wav b.wav", 1, "sevrane: one sound file at most, not 'a.wav' and 'b.wav'\n"},
        // After "--" a name beginning with '-' is the file, and only then is a
        // display needed.
        {"-- -x.wav", 2, "sevrane: no display"},
    };
    for (const Row& row : rows) {
        const ProgramResult result = RunWithoutDisplay(row.arguments);
        EXPECT_EQ(result.status, row.status) << row.arguments;
        EXPECT_EQ(result.output.rfind(row.said, 0), 0u) << row.arguments << " said:\n" << result.output;
    }
}

TEST_F(WindowTest, FileNamedAtStartLoadsWhenTheWindowOpens)
{
    window.reset();
    // Named as the command line gives it: bytes, here Latin-1 ones that are not UTF-8.
    const std::string file = folder.Write("\xe9t\xe9.wav",
                                          kelvane::playback::test::Wave(1, 2, 44100, 16, SineData(2, 22050, 44100, 440, 0.5)));
    ASSERT_FALSE(file.empty());
    CSevraneApp app(services);
    // The file loads while the window runs: once it has, the window is closed.
    bool loaded = false;
    QTimer poll;
    poll.setInterval(5);
    QDeadlineTimer deadline(60000);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<CSevraneDlg*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        loaded = dialog->CurrentSound() != nullptr && dialog->GetPlayer().StreamOpen();
        if (loaded || deadline.hasExpired()) {
            dialog->reject();
        }
    });
    poll.start();
    EXPECT_EQ(app.Run(file), 0);
    poll.stop();
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(services.boxes.empty());
}

// A sound worth looking at: a tone swelling and fading, in two bursts.
QString PictureFile(kelvane::playback::test::TempFolder& folder)
{
    const int rate = 44100;
    const int frames = rate * 3;
    kelvane::playback::test::Bytes data;
    for (int frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / rate;
        const double envelope = std::pow(std::sin(M_PI * std::fmod(t, 1.5) / 1.5), 2.0);
        const double value = 0.9 * envelope * std::sin(2.0 * M_PI * 220.0 * t);
        for (int c = 0; c < 2; ++c) {
            kelvane::playback::test::AppendLe(data, static_cast<std::uint16_t>(std::lround(value * (c == 0 ? 32767 : 24000))),
                                    2);
        }
    }
    return QString::fromStdString(folder.Write("picture.wav", kelvane::playback::test::Wave(1, 2, rate, 16, data)));
}

TEST_F(WindowTest, PicturesOfTheWindowsForAPersonToLookAt)
{
    ChooseAndLoad(PictureFile(folder));
    ASSERT_NE(window->CurrentSound(), nullptr);
    Find<QSlider>("pitchSlider")->setValue(20);
    Find<QSlider>("speedSlider")->setValue(-60);
    window->show();
    // A passage selected on the waveform, and the cursor placed inside it.
    auto* display = Find<Display>("display");
    const auto at = [display](double share) {
        return QPoint(display->contentsRect().left() + static_cast<int>(share * display->ClientWidth()),
                      display->height() / 2);
    };
    QTest::mousePress(display, Qt::LeftButton, Qt::NoModifier, at(0.3));
    QTest::mouseMove(display, at(0.6));
    QTest::mouseRelease(display, Qt::LeftButton, Qt::NoModifier, at(0.6));
    QTest::mouseClick(display, Qt::LeftButton, Qt::NoModifier, at(0.45));
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
