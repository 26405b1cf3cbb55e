// The window tests run in one QApplication, on the offscreen platform unless
// another is named, with the audio library started as the program does.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTest>
#include <QTimer>

#include "playback/player.h"
#include "window_fixture.h"

namespace sevrane::ui::test {

void WindowTest::Click(const char* buttonName)
{
    auto* button = Find<QAbstractButton>(buttonName);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

void WindowTest::DropUrl(const QUrl& url)
{
    QMimeData data;
    data.setUrls({url});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    QApplication::processEvents();
}

void WithNextModal(const std::function<void(QWidget*)>& check, const std::function<void()>& open)
{
    bool seen = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || seen) {
            return;
        }
        seen = true;
        check(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal); dialog != nullptr && dialog->isVisible()) {
            dialog->reject();
        }
    });
    poll.start();
    open();
    poll.stop();
    EXPECT_TRUE(seen) << "no modal window opened";
}

// The audio library runs while tests run (not while they are only listed).
class AudioLibrary final : public ::testing::Environment {
public:
    void SetUp() override { started = kelvane::playback::StartAudio() == 0; }
    void TearDown() override
    {
        if (started) {
            kelvane::playback::EndAudio();
        }
    }

private:
    bool started = false;
};

}  // namespace sevrane::ui::test

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new sevrane::ui::test::AudioLibrary);
    return RUN_ALL_TESTS();
}
