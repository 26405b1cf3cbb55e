// What the window tests share: scripted dialog services, generated WAV files
// in a fresh folder, and a main window to drive.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QUrl>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialog_services.h"
#include "playback/temp_folder.h"
#include "playback/wav_bytes.h"
#include "sevrane_dlg.h"

namespace sevrane::ui::test {

// Answers the window's questions from a script and records what it showed.
class ScriptedServices final : public DialogServices {
public:
    struct Box {
        QString title;
        QString text;
    };

    QString ChooseSoundFile(QWidget*, const QString& startPath) override
    {
        startPaths.push_back(startPath);
        if (answers.empty()) {
            return {};
        }
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QString ChooseExportFile(QWidget*, const QString& startPath) override
    {
        exportStartPaths.push_back(startPath);
        return std::exchange(exportAnswer, QString());
    }
    // Records what it was shown; cancels at once when `cancelTasks` is set.
    class Progress final : public ProgressView {
    public:
        Progress(ScriptedServices& services) : services(services) {}
        void Update(std::uint64_t done, std::uint64_t total) override
        {
            services.progressUpdates.push_back({done, total});
        }
        bool CancelRequested() const override { return services.cancelTasks; }

    private:
        ScriptedServices& services;
    };
    std::unique_ptr<ProgressView> ShowProgress(QWidget* owner, const QString& title, const QString& label) override
    {
        progressShown.push_back({title, label});
        if (progressFrom != nullptr) {
            return progressFrom->ShowProgress(owner, title, label);
        }
        return std::make_unique<Progress>(*this);
    }
    void ShowError(QWidget*, const QString& title, const QString& text) override { boxes.push_back({title, text}); }
    void OpenLink(const QUrl& address) override { links.push_back(address); }

    std::deque<QString> answers;  // "" cancels
    std::vector<QString> startPaths;
    QString exportAnswer;  // the next export's file; "" cancels
    std::vector<QString> exportStartPaths;
    bool cancelTasks = false;
    // When set, progress is shown by these services (the desktop's own dialog).
    DialogServices* progressFrom = nullptr;
    std::vector<Box> progressShown;  // title and label
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progressUpdates;
    std::vector<Box> boxes;
    std::vector<QUrl> links;
};

// 16-bit PCM frames of a sine at `level` of full scale, the same in every channel.
inline kelvane::playback::test::Bytes SineData(int channels, int frames, double rate, double frequency, double level)
{
    kelvane::playback::test::Bytes data;
    for (int frame = 0; frame < frames; ++frame) {
        const double value = level * std::sin(2.0 * M_PI * frequency * frame / rate);
        for (int c = 0; c < channels; ++c) {
            kelvane::playback::test::AppendLe(data, static_cast<std::uint16_t>(std::lround(value * 32767.0)), 2);
        }
    }
    return data;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(folder.path.empty());
        window = std::make_unique<CSevraneDlg>(services);
    }
    void TearDown() override { window.reset(); }

    // A stereo 44100 Hz file of a 440 Hz tone, half a second long.
    QString GoodFile(const std::string& name = "tone.wav", int channels = 2, int frames = 22050)
    {
        return QString::fromStdString(
            folder.Write(name, kelvane::playback::test::Wave(1, channels, 44100, 16, SineData(channels, frames, 44100, 440, 0.5))));
    }
    // A file the loader refuses: its sample rate is too low.
    QString RefusedFile()
    {
        return QString::fromStdString(
            folder.Write("low-rate.wav", kelvane::playback::test::Wave(1, 1, 8000, 16, SineData(1, 8000, 8000, 440, 0.5))));
    }
    // Presses Load with `answer` as the user's choice ("" cancels).
    void ChooseAndLoad(const QString& answer)
    {
        services.answers.push_back(answer);
        Click("loadButton");
    }

    template <typename Widget>
    Widget* Find(const char* name) const
    {
        auto* widget = window->findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void Click(const char* buttonName);
    // Drags `url` onto the window and drops it there, as a file manager does.
    void DropUrl(const QUrl& url);

    kelvane::playback::test::TempFolder folder;
    ScriptedServices services;
    std::unique_ptr<CSevraneDlg> window;
};

// Runs `check` on the next modal window that opens (while `open` blocks in
// it), then closes that window with `close`.
void WithNextModal(const std::function<void(QWidget*)>& check, const std::function<void()>& open);

}  // namespace sevrane::ui::test
