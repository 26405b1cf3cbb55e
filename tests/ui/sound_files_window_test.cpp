// The window with sound files of every format: MP3, FLAC, Ogg and the rest
// load through the sound-file reader and .wav through the WAV loader, the
// title names the file, a load can be cancelled, and Export renders what
// plays (the whole sound or the loop region) into a file of the format its
// name asks for, leaving nothing when cancelled or refused.
#include <sndfile.h>

#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "dialog_services.h"
#include "display.h"
#include "sound_files/sound_file_reader.h"
#include "sound_loading.h"
#include "window_fixture.h"

namespace sevrane::ui::test {
namespace {

namespace files = kelvane::sound_files;

constexpr int kRate = 44100;
constexpr double kToneHz = 440.0;

// A stereo tone at half scale written by libsndfile in `format`.
std::string WriteTone(const std::string& path, int format, int frames, int rate = kRate)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    if (file == nullptr) {
        return path;
    }
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    for (int frame = 0; frame < frames; ++frame) {
        const auto value = static_cast<float>(0.5 * std::sin(2.0 * M_PI * kToneHz * frame / rate));
        samples[2 * frame] = value;
        samples[2 * frame + 1] = value;
    }
    EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    EXPECT_EQ(sf_close(file), 0);
    return path;
}

// The frequency of channel 0 of interleaved stereo frames, from the zero
// crossings of their middle half.
double ToneFrequency(const float* samples, std::int64_t frames, int channels, int rate)
{
    const std::int64_t first = frames / 4;
    const std::int64_t last = 3 * frames / 4;
    int crossings = 0;
    for (std::int64_t i = first + 1; i < last; ++i) {
        crossings += (samples[(i - 1) * channels] < 0.0f) != (samples[i * channels] < 0.0f);
    }
    return crossings / 2.0 * rate / static_cast<double>(last - first);
}

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SoundFilesWindowTest : public WindowTest {
protected:
    std::string Path(const std::string& name) const { return folder.path + "/" + name; }
    QString Tone(const std::string& name, int format, int frames = kRate)
    {
        return QString::fromStdString(WriteTone(Path(name), format, frames));
    }
};

TEST_F(SoundFilesWindowTest, EveryFormatLoadsThroughTheReaderItsNameAsksAndTheTitleNamesIt)
{
    const struct {
        const char* name;
        int format;
        bool lossy;
    } cases[] = {
        {"tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, true},
        {"tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, false},
        {"tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, true},
        {"tone.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, false},
        // Upper case is still WAV, and goes to the WAV loader.
        {"TONE.WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChooseAndLoad(Tone(c.name, c.format));
        ASSERT_TRUE(services.boxes.empty()) << services.boxes.back().text.toStdString();
        const LoadedSound* sound = window->CurrentSound();
        ASSERT_NE(sound, nullptr);
        EXPECT_EQ(window->windowTitle(), QString::fromLatin1(c.name) + " - Kelvane demonstration");
        EXPECT_EQ(sound->channels, 2);
        EXPECT_EQ(sound->sampleRate, static_cast<std::uint32_t>(kRate));
        // Lossy decoders may add a frame or two of their own.
        EXPECT_NEAR(sound->frameCount, kRate, c.lossy ? 1200 : 0);
        EXPECT_EQ(sound->format.formatTag, ReaderFor(c.name) == SoundReader::Wave ? 1 : 0);
        // The waveform shows the tone: half the height above and below the centre.
        const std::vector<OverviewColumn>& overview = Find<Display>("display")->Overview();
        ASSERT_FALSE(overview.empty());
        const int half = Find<Display>("display")->ClientHeight() / 2;
        EXPECT_NEAR(overview[overview.size() / 2].max, half / 2, 2 + half / 10);
        EXPECT_NEAR(overview[overview.size() / 2].min, -half / 2, 2 + half / 10);
        EXPECT_NEAR(ToneFrequency(sound->samples.data(), sound->frameCount, 2, kRate), kToneHz, 2.0);
        EXPECT_TRUE(window->GetPlayer().StreamOpen());
        EXPECT_FALSE(Find<QPushButton>("playButton")->isHidden());
        // Each read showed its progress; the reader's to the last frame.
        ASSERT_FALSE(services.progressShown.empty());
        EXPECT_EQ(services.progressShown.back().text, QStringLiteral("Loading %1...").arg(c.name));
        if (ReaderFor(c.name) == SoundReader::SoundFiles) {
            const auto frames = static_cast<std::uint64_t>(sound->frameCount);
            EXPECT_EQ(services.progressUpdates.back(), std::make_pair(frames, frames));
        }
    }
    // A refusal leaves the title as it was before any file.
    ChooseAndLoad(RefusedFile());
    EXPECT_EQ(window->windowTitle(), "Kelvane demonstration");
}

TEST_F(SoundFilesWindowTest, RefusalsOfTheReaderNameTheFileAndTheLimitInTheSameBox)
{
    ChooseAndLoad(QString::fromStdString(WriteTone(Path("low.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 22050)));
    std::ofstream(Path("notes.mp3")) << "not sound";
    ChooseAndLoad(QString::fromStdString(Path("notes.mp3")));
    ChooseAndLoad(QString::fromStdString(Path("missing.ogg")));
    ASSERT_EQ(services.boxes.size(), 3u);
    for (const auto& box : services.boxes) {
        EXPECT_EQ(box.title, "Valtrix");
    }
    EXPECT_EQ(services.boxes[0].text, "low.flac cannot be played: sample rate 22050 Hz is outside 32000 to 196000 Hz");
    EXPECT_TRUE(services.boxes[1].text.startsWith("notes.mp3 cannot be played: not a sound file that can be read"))
        << services.boxes[1].text.toStdString();
    EXPECT_TRUE(services.boxes[2].text.startsWith("missing.ogg cannot be played: cannot open"))
        << services.boxes[2].text.toStdString();
    EXPECT_EQ(window->CurrentSound(), nullptr);
    EXPECT_FALSE(window->GetPlayer().StreamOpen());
}

TEST_F(SoundFilesWindowTest, ACancelledLoadLeavesNoSoundAndTheWindowUsable)
{
    ChooseAndLoad(GoodFile("first.wav"));
    Click("playButton");
    ASSERT_NE(window->CurrentSound(), nullptr);

    // Cancelled as the progress shows, through either reader.
    for (const QString& file : {Tone("long.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 5 * kRate), GoodFile("second.wav")}) {
        SCOPED_TRACE(file.toStdString());
        services.cancelTasks = true;
        ChooseAndLoad(file);
        EXPECT_EQ(window->CurrentSound(), nullptr);
        EXPECT_FALSE(window->GetPlayer().IsPlaying());
        EXPECT_FALSE(window->GetPlayer().StreamOpen());
        EXPECT_TRUE(Find<QPushButton>("playButton")->isHidden());
        EXPECT_EQ(window->windowTitle(), "Kelvane demonstration");
        EXPECT_TRUE(services.boxes.empty()) << "a cancel is no refusal";
    }

    services.cancelTasks = false;
    ChooseAndLoad(Tone("again.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_TRUE(window->GetPlayer().StreamOpen());
    EXPECT_EQ(window->windowTitle(), "again.flac - Kelvane demonstration");
}

// Reads an exported file whole.
files::WholeSound ReadExport(const std::string& path)
{
    files::WholeSound sound;
    std::string message;
    EXPECT_EQ(files::ReadWholeSound(path, sound, message), files::ReadStatus::Ok) << path << ": " << message;
    return sound;
}

TEST_F(SoundFilesWindowTest, ExportRendersTheLoopRegionOrTheWholeSoundWithTheCurrentControls)
{
    constexpr int kFrames = 2 * kRate;
    ChooseAndLoad(Tone("tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, kFrames));
    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_TRUE(window->CreateContextMenu()->actions().back()->isEnabled());

    // A region, an octave up: its length, at twice the pitch.
    Find<QSlider>("pitchSlider")->setValue(48);
    window->GetPlayer().SetLoopRegion(10000, 10000 + kRate - 1);
    ASSERT_EQ(window->GetPlayer().LoopRegion(), std::make_pair(10000, 10000 + kRate - 1));
    services.exportAnswer = QString::fromStdString(Path("region.wav"));
    window->ExportSound();
    EXPECT_TRUE(services.boxes.empty()) << services.boxes.back().text.toStdString();
    ASSERT_EQ(services.exportStartPaths.size(), 1u);
    EXPECT_EQ(services.exportStartPaths[0], QString::fromStdString(Path("tone-export.wav")));
    const files::WholeSound region = ReadExport(Path("region.wav"));
    EXPECT_EQ(region.info.frames, kRate);
    EXPECT_EQ(region.info.formatName, "WAV, 24-bit PCM") << "the loaded file's depth";
    EXPECT_NEAR(ToneFrequency(region.samples.data(), region.info.frames, 2, kRate), 2 * kToneHz, 4.0);
    ASSERT_FALSE(services.progressUpdates.empty());
    EXPECT_EQ(services.progressUpdates.back(), std::make_pair(std::uint64_t{kRate}, std::uint64_t{kRate}));

    // Without a region, the whole sound at half speed, into FLAC by its name:
    // twice as long, at the file's pitch.
    window->GetPlayer().ClearLoopRegion();
    Find<QSlider>("pitchSlider")->setValue(0);
    Find<QSlider>("speedSlider")->setValue(-24);
    services.exportAnswer = QString::fromStdString(Path("whole.flac"));
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(window.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_EQ(services.exportStartPaths.back(), QString::fromStdString(Path("region.wav")));
    const files::WholeSound whole = ReadExport(Path("whole.flac"));
    EXPECT_EQ(whole.info.formatName, "FLAC, 24-bit PCM");
    EXPECT_EQ(whole.info.frames, 2 * kFrames);
    EXPECT_NEAR(ToneFrequency(whole.samples.data(), whole.info.frames, 2, kRate), kToneHz, 2.0);
    EXPECT_TRUE(services.boxes.empty());
}

TEST_F(SoundFilesWindowTest, ExportCancelledOrRefusedLeavesNothingAndNeverWritesOverTheLoadedFile)
{
    const QString loaded = Tone("tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    ChooseAndLoad(loaded);
    ASSERT_NE(window->CurrentSound(), nullptr);
    const std::vector<std::string> before = FilesIn(folder.path);
    const auto loadedSize = std::filesystem::file_size(loaded.toStdString());

    services.cancelTasks = true;
    services.exportAnswer = QString::fromStdString(Path("cancelled.wav"));
    window->ExportSound();
    services.cancelTasks = false;
    EXPECT_TRUE(services.boxes.empty()) << "a cancel is no failure";
    EXPECT_EQ(FilesIn(folder.path), before) << "nothing left behind, not even a temporary file";

    // The loaded file itself, and a name of no format that can be written.
    services.exportAnswer = loaded;
    window->ExportSound();
    services.exportAnswer = QString::fromStdString(Path("out.mp3"));
    window->ExportSound();
    // A folder that cannot be written into.
    services.exportAnswer = QString::fromStdString(Path("no-such-folder/out.wav"));
    window->ExportSound();
    ASSERT_EQ(services.boxes.size(), 3u);
    for (const auto& box : services.boxes) {
        EXPECT_EQ(box.title, "Valtrix");
    }
    EXPECT_EQ(services.boxes[0].text.toStdString(), "Cannot write " + loaded.toStdString() + ": it is the input " +
                                                        loaded.toStdString() + ", which would be lost");
    EXPECT_EQ(services.boxes[1].text.toStdString(), "Cannot tell the format from the name " + Path("out.mp3") +
                                                        ": name the file .wav, .flac, .ogg, .aiff or .w64");
    EXPECT_TRUE(services.boxes[2].text.startsWith("Cannot")) << services.boxes[2].text.toStdString();
    EXPECT_EQ(FilesIn(folder.path), before);
    EXPECT_EQ(std::filesystem::file_size(loaded.toStdString()), loadedSize);
    // The sound plays on as before.
    EXPECT_EQ(window->CurrentSound()->frameCount, kRate);
}

TEST_F(SoundFilesWindowTest, ExportWithoutASoundAsksNothing)
{
    const std::unique_ptr<QMenu> menu = window->CreateContextMenu();
    const QList<QAction*> entries = menu->actions();
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [](const QAction* action) { return action->text() == "Export..."; });
    ASSERT_NE(entry, entries.end());
    EXPECT_FALSE((*entry)->isEnabled());
    EXPECT_EQ((*entry)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_E));
    window->ExportSound();
    EXPECT_TRUE(services.exportStartPaths.empty());
}

// The desktop's own dialogs: the filters Load offers, and the progress
// dialog with its bar and Cancel.
TEST_F(SoundFilesWindowTest, TheDesktopsLoadDialogOffersEverySoundFileFirst)
{
    DesktopDialogServices desktop;
    WithNextModal(
        [](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            const QStringList filters = dialog->nameFilters();
            ASSERT_EQ(filters.size(), 3);
            EXPECT_TRUE(filters[0].startsWith("Sound Files (")) << filters[0].toStdString();
            for (const char* pattern : {"*.wav", "*.mp3", "*.flac", "*.ogg", "*.opus", "*.aiff", "*.aif", "*.w64"}) {
                EXPECT_TRUE(filters[0].split(QRegularExpression("[ ()]")).contains(pattern)) << pattern;
            }
            EXPECT_EQ(filters[1], "Wave Files (*.wav)");
            EXPECT_EQ(filters[2], "All Files (*)");
            EXPECT_EQ(dialog->selectedNameFilter(), filters[0]);
        },
        [&] { EXPECT_EQ(desktop.ChooseSoundFile(window.get(), QString::fromStdString(folder.path)), QString()); });
}

TEST_F(SoundFilesWindowTest, TheDesktopsProgressDialogShowsTheBarAndTakesCancel)
{
    window->show();
    DesktopDialogServices desktop;
    const std::unique_ptr<ProgressView> view = desktop.ShowProgress(window.get(), "Exporting", "Exporting out.wav...");
    QWidget* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        dialog = window->findChild<QWidget*>("progressDialog");
        return dialog != nullptr && dialog->isVisible();
    }, 10000));
    EXPECT_EQ(dialog->windowTitle(), "Exporting");
    EXPECT_EQ(dialog->findChild<QLabel*>("progressLabel")->text(), "Exporting out.wav...");
    view->Update(250, 1000);
    EXPECT_EQ(dialog->findChild<QProgressBar*>("progressBar")->value(),
              dialog->findChild<QProgressBar*>("progressBar")->maximum() / 4);
    EXPECT_EQ(QApplication::activeModalWidget(), dialog) << "the window takes no clicks meanwhile";
    EXPECT_FALSE(view->CancelRequested());
    QTest::mouseClick(dialog->findChild<QPushButton*>("progressCancel"), Qt::LeftButton);
    EXPECT_TRUE(view->CancelRequested());
}

// Pictures for a person to look at, of the window with an MP3 loaded and of
// the desktop's progress dialog during an export; the export is cancelled
// there, through the dialog's own button, and leaves nothing.
TEST_F(SoundFilesWindowTest, PicturesOfAnMp3AndOfAnExportCancelledInTheDesktopsDialog)
{
    window->show();
    ChooseAndLoad(Tone("song.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 3 * kRate));
    ASSERT_NE(window->CurrentSound(), nullptr);
    QApplication::processEvents();
    EXPECT_TRUE(window->grab().save(QStringLiteral(SEVRANE_PICTURE_DIR "/sevrane-mp3.png")));

    // Three minutes at a quarter speed: an export far longer than the
    // dialog takes to show, pictured a tenth of the way.
    const std::string input = folder.Write(
        "long.wav", kelvane::playback::test::Wave(1, 1, kRate, 16, SineData(1, 180 * kRate, kRate, 220, 0.5)));
    ChooseAndLoad(QString::fromStdString(input));
    ASSERT_NE(window->CurrentSound(), nullptr);
    Find<QSlider>("speedSlider")->setValue(-48);
    Find<QSlider>("pitchSlider")->setValue(28);
    const std::vector<std::string> before = FilesIn(folder.path);

    DesktopDialogServices desktop;
    services.progressFrom = &desktop;
    services.exportAnswer = QString::fromStdString(Path("slow.flac"));
    bool pictured = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = window->findChild<QWidget*>("progressDialog");
        if (pictured || dialog == nullptr || !dialog->isVisible() ||
            dialog->findChild<QProgressBar*>("progressBar")->value() < 100) {
            return;
        }
        pictured = true;
        EXPECT_TRUE(dialog->grab().save(QStringLiteral(SEVRANE_PICTURE_DIR "/sevrane-export-progress.png")));
        QTest::mouseClick(dialog->findChild<QPushButton*>("progressCancel"), Qt::LeftButton);
    });
    poll.start();
    window->ExportSound();
    poll.stop();
    services.progressFrom = nullptr;

    EXPECT_TRUE(pictured) << "the export ended before its dialog showed";
    EXPECT_TRUE(services.boxes.empty());
    EXPECT_EQ(FilesIn(folder.path), before);
}

}  // namespace
}  // namespace sevrane::ui::test
