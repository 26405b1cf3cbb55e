#include <sys/stat.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <type_traits>
#include <utility>

#include "dialog_templates.h"
#include "display.h"
#include "kelvane/engine.h"
#include "playback/loaded_sound.h"
#include "slider_mapping.h"
#include "template_widgets.h"
#include "window_fixture.h"

namespace sevrane::ui::test {
namespace {

using namespace std::chrono_literals;

QString Text(const QLabel* label)
{
    return label != nullptr ? label->text() : QString();
}

// Waits a little for the stream to report that it runs.
bool BecomesPlaying(const Player& player)
{
    for (int i = 0; i < 200 && !player.IsPlaying(); ++i) {
        std::this_thread::sleep_for(5ms);
    }
    return player.IsPlaying();
}

TEST_F(WindowTest, StartsWithCentredSlidersLoopOnAndNothingToPlay)
{
    EXPECT_EQ(window->windowTitle(), "Kelvane demonstration");
    EXPECT_EQ(Text(Find<QLabel>("pitchValue")), " 0.0");
    EXPECT_EQ(Text(Find<QLabel>("speedValue")), "100.0%");
    EXPECT_TRUE(Find<QCheckBox>("loopBox")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("formantBox")->isChecked());
    EXPECT_TRUE(Find<QPushButton>("playButton")->isHidden());
    EXPECT_TRUE(Find<QPushButton>("stopButton")->isHidden());
    EXPECT_FALSE(Find<QPushButton>("loadButton")->isHidden());

    const PlayerState& state = window->GetPlayer().State();
    EXPECT_EQ(state.pitchTarget.load(), 0.0f);
    EXPECT_EQ(state.speedPercent.load(), 100.0f);
    EXPECT_EQ(state.formantSemitones.load(), 0.0f);
    EXPECT_TRUE(state.loopEnabled.load());
    EXPECT_FALSE(state.reverseRequested.load());
    EXPECT_EQ(window->CurrentSound(), nullptr);

    for (const char* name : {"pitchSlider", "speedSlider"}) {
        const auto* slider = Find<QSlider>(name);
        EXPECT_EQ(slider->minimum(), -96);
        EXPECT_EQ(slider->maximum(), 96);
        EXPECT_EQ(slider->value(), 0);
        EXPECT_EQ(slider->tickInterval(), 4);
        EXPECT_EQ(slider->tickPosition(), QSlider::TicksBothSides);
    }
}

TEST_F(WindowTest, ControlsSitOnTheTemplateGridOfTheDialogFont)
{
    const DialogBaseUnits base = BaseUnitsOf(window->font());
    ASSERT_GT(base.x, 0);
    ASSERT_GT(base.y, 0);
    const DialogRect size = ToPixels({0, 0, main_dialog::kWidth, main_dialog::kHeight}, base);
    EXPECT_EQ(window->minimumSize(), QSize(size.width, size.height));
    EXPECT_EQ(window->maximumSize(), QSize(size.width, size.height));

    const auto expectAt = [&](const char* name, const DialogRect& units) {
        const DialogRect pixels = ToPixels(units, base);
        const QWidget* widget = window->findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->geometry(), QRect(pixels.x, pixels.y, pixels.width, pixels.height)) << name;
    };
    expectAt("markLogo", main_dialog::kMarkLogo);
    expectAt("wordmarkLogo", main_dialog::kWordmarkLogo);
    expectAt("webLink", main_dialog::kWebLink);
    expectAt("enquiriesLink", main_dialog::kEnquiriesLink);
    expectAt("display", main_dialog::kDisplay);
    expectAt("pitchSlider", main_dialog::kPitchSlider);
    expectAt("speedSlider", main_dialog::kSpeedSlider);
    expectAt("pitchValue", main_dialog::kPitchValue);
    expectAt("speedValue", main_dialog::kSpeedValue);
    expectAt("loadButton", main_dialog::kLoad.rect);
    expectAt("formantBox", main_dialog::kFormant.rect);
    expectAt("loopBox", main_dialog::kLoop.rect);
    expectAt("playButton", main_dialog::kPlay.rect);
    expectAt("stopButton", main_dialog::kStop.rect);
    expectAt("aboutButton", main_dialog::kAbout.rect);

    // Every fixed text of the template is there, where the template puts it.
    const QList<QLabel*> labels = window->findChildren<QLabel*>();
    for (const TextSpec& spec : main_dialog::kTexts) {
        const DialogRect pixels = ToPixels(spec.rect, base);
        const bool found = std::any_of(labels.begin(), labels.end(), [&](const QLabel* label) {
            return label->text() == QString::fromLatin1(spec.text) &&
                   label->geometry() == QRect(pixels.x, pixels.y, pixels.width, pixels.height);
        });
        EXPECT_TRUE(found) << spec.text;
    }
}

TEST_F(WindowTest, SpeedSliderSetsSpeedDirectionAndLabelOnEveryMove)
{
    auto* slider = Find<QSlider>("speedSlider");
    const PlayerState& state = window->GetPlayer().State();
    for (int position = -96; position <= 96; ++position) {
        slider->setValue(position);
        const SpeedSetting expected = SpeedFromSlider(position);
        ASSERT_EQ(state.speedPercent.load(), expected.percent) << position;
        ASSERT_EQ(state.reverseRequested.load(), expected.reverse) << position;
        ASSERT_EQ(Text(Find<QLabel>("speedValue")).toStdString(), SpeedLabel(expected)) << position;
    }
    // Keys move the thumb one step, and the label follows at once.
    slider->setValue(-48);
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(Text(Find<QLabel>("speedValue")), "-25.7%");
    EXPECT_TRUE(state.reverseRequested.load());
    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(Text(Find<QLabel>("speedValue")), "-100.0%");
}

TEST_F(WindowTest, PitchSliderSetsPitchAndLabelAtItsExtremes)
{
    auto* slider = Find<QSlider>("pitchSlider");
    const PlayerState& state = window->GetPlayer().State();
    slider->setValue(96);
    EXPECT_EQ(Text(Find<QLabel>("pitchValue")), "24.0");
    EXPECT_EQ(state.pitchTarget.load(), 24.0f);
    slider->setValue(-96);
    EXPECT_EQ(Text(Find<QLabel>("pitchValue")), "-24.0");
    EXPECT_EQ(state.pitchTarget.load(), -24.0f);
    slider->setValue(-14);
    EXPECT_EQ(Text(Find<QLabel>("pitchValue")), "-3.5");
    // Formant preserve is off: the formants stay where they are.
    EXPECT_EQ(state.formantSemitones.load(), 0.0f);
}

TEST_F(WindowTest, FormantPreserveFollowsThePitchWhileChecked)
{
    auto* slider = Find<QSlider>("pitchSlider");
    const PlayerState& state = window->GetPlayer().State();
    slider->setValue(20);
    Click("formantBox");
    EXPECT_TRUE(Find<QCheckBox>("formantBox")->isChecked());
    EXPECT_EQ(state.formantSemitones.load(), 5.0f);
    for (const int position : {96, -96, -7, 33}) {
        slider->setValue(position);
        EXPECT_EQ(state.formantSemitones.load(), position * 0.25f);
    }
    Click("formantBox");
    EXPECT_EQ(state.formantSemitones.load(), 0.0f);
    slider->setValue(40);
    EXPECT_EQ(state.formantSemitones.load(), 0.0f);
    EXPECT_EQ(state.pitchTarget.load(), 10.0f);
}

TEST_F(WindowTest, LoopBoxSetsLooping)
{
    const PlayerState& state = window->GetPlayer().State();
    Click("loopBox");
    EXPECT_FALSE(state.loopEnabled.load());
    Click("loopBox");
    EXPECT_TRUE(state.loopEnabled.load());
}

// Counts every engine operation made through a handle.
std::atomic<int> engineCalls{0};
const EngineOperations* realOperations = nullptr;

template <typename Slot>
struct CountingSlot;
template <typename Result, typename... Arguments>
struct CountingSlot<Result (*)(Arguments...)> {
    template <Result (*EngineOperations::*slot)(Arguments...)>
    static Result Call(Arguments... arguments)
    {
        ++engineCalls;
        return (realOperations->*slot)(arguments...);
    }
};

#define KELVANE_COUNT(slot) \
    counting.slot = &CountingSlot<decltype(counting.slot)>::template Call<&EngineOperations::slot>

EngineOperations CountingOperations(const EngineOperations& real)
{
    realOperations = &real;
    EngineOperations counting = real;
    KELVANE_COUNT(SetSampleRate);
    KELVANE_COUNT(Reset);
    KELVANE_COUNT(Process);
    KELVANE_COUNT(Flush);
    KELVANE_COUNT(GetOutputAvailable);
    KELVANE_COUNT(GetInputRequired);
    KELVANE_COUNT(PullOutput);
    KELVANE_COUNT(PushInput);
    KELVANE_COUNT(SetPitchSemitones);
    KELVANE_COUNT(SetPitchPercent);
    KELVANE_COUNT(SetFormantSemitones);
    KELVANE_COUNT(SetFormantPercent);
    KELVANE_COUNT(SetSpeedPercent);
    KELVANE_COUNT(GetChannelCount);
    return counting;
}

TEST_F(WindowTest, ControlsNeverCallTheEngine)
{
    ChooseAndLoad(GoodFile());
    EngineInterface* engine = window->GetPlayer().State().engineHandle.load();
    ASSERT_NE(engine, nullptr);
    ASSERT_FALSE(window->GetPlayer().IsPlaying());

    const EngineOperations* real = engine->operations;
    const EngineOperations counting = CountingOperations(*real);
    engineCalls = 0;
    engine->operations = &counting;
    for (int position = -96; position <= 96; position += 3) {
        Find<QSlider>("pitchSlider")->setValue(position);
        Find<QSlider>("speedSlider")->setValue(-position);
    }
    Click("formantBox");
    Find<QSlider>("pitchSlider")->setValue(17);
    Click("formantBox");
    Click("loopBox");
    Click("loopBox");
    const int callsFromControls = engineCalls.load();
    // The counter does count: Play hands the controls to the engine.
    Click("playButton");
    Click("stopButton");
    const int callsFromPlay = engineCalls.load();
    engine->operations = real;

    EXPECT_EQ(callsFromControls, 0);
    EXPECT_GT(callsFromPlay, 0);
}

TEST_F(WindowTest, RefusedFileIsReportedAndLeavesNoFile)
{
    ChooseAndLoad(RefusedFile());
    ASSERT_EQ(services.boxes.size(), 1u);
    EXPECT_EQ(services.boxes[0].title, "Valtrix");
    EXPECT_EQ(services.boxes[0].text, QString::fromUtf8(kelvane::playback::GetLoadResultText(kelvane::playback::LoadResult::SampleRateTooLow)));
    EXPECT_EQ(window->CurrentSound(), nullptr);
    EXPECT_EQ(Find<Display>("display")->Sound(), nullptr);
    EXPECT_FALSE(window->GetPlayer().StreamOpen());
    EXPECT_TRUE(Find<QPushButton>("playButton")->isHidden());
}

TEST_F(WindowTest, GoodFileOpensPlaybackAndTurnsFormantPreserveOff)
{
    Click("formantBox");
    Find<QSlider>("pitchSlider")->setValue(12);
    Find<QSlider>("speedSlider")->setValue(-60);
    ASSERT_EQ(window->GetPlayer().State().formantSemitones.load(), 3.0f);

    ChooseAndLoad(GoodFile());
    EXPECT_TRUE(services.boxes.empty()) << services.boxes[0].title.toStdString() << ": "
                                        << services.boxes[0].text.toStdString();
    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_EQ(window->CurrentSound()->frameCount, 22050);
    EXPECT_TRUE(window->GetPlayer().StreamOpen());
    EXPECT_FALSE(window->GetPlayer().IsPlaying());
    EXPECT_FALSE(Find<QPushButton>("playButton")->isHidden());
    EXPECT_FALSE(Find<QPushButton>("stopButton")->isHidden());
    EXPECT_FALSE(Find<QCheckBox>("formantBox")->isChecked());
    const PlayerState& state = window->GetPlayer().State();
    EXPECT_EQ(state.formantSemitones.load(), 0.0f);
    // The sliders keep their settings.
    EXPECT_EQ(state.pitchTarget.load(), 3.0f);
    EXPECT_TRUE(state.reverseRequested.load());
    EXPECT_EQ(state.sound.load(), window->CurrentSound());
    EXPECT_EQ(Find<Display>("display")->Sound(), window->CurrentSound());
}

TEST_F(WindowTest, LoadDuringPlaybackStopsTheSound)
{
    ChooseAndLoad(GoodFile("first.wav"));
    Click("playButton");
    ASSERT_TRUE(BecomesPlaying(window->GetPlayer()));

    ChooseAndLoad(GoodFile("second.wav", 1, 30000));
    EXPECT_FALSE(window->GetPlayer().IsPlaying());
    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_EQ(window->CurrentSound()->frameCount, 30000);
    EXPECT_TRUE(window->GetPlayer().StreamOpen());
    EXPECT_FALSE(Find<QPushButton>("playButton")->isHidden());
}

TEST_F(WindowTest, FailedLoadAfterPlayingLeavesNothingToPlay)
{
    ChooseAndLoad(GoodFile());
    Click("playButton");
    ASSERT_TRUE(BecomesPlaying(window->GetPlayer()));

    ChooseAndLoad(RefusedFile());
    EXPECT_FALSE(window->GetPlayer().IsPlaying());
    EXPECT_FALSE(window->GetPlayer().StreamOpen());
    EXPECT_EQ(window->GetPlayer().State().sound.load(), nullptr);
    EXPECT_EQ(window->CurrentSound(), nullptr);
    EXPECT_TRUE(Find<QPushButton>("playButton")->isHidden());
    EXPECT_TRUE(Find<QPushButton>("stopButton")->isHidden());
    // Play has no way in, and does nothing if asked anyway.
    Find<QPushButton>("playButton")->click();
    EXPECT_FALSE(window->GetPlayer().IsPlaying());
}

TEST_F(WindowTest, CancellingTheFileDialogChangesNothing)
{
    const QString file = GoodFile();
    ChooseAndLoad(file);
    Click("playButton");
    ASSERT_TRUE(BecomesPlaying(window->GetPlayer()));
    const LoadedSound* sound = window->CurrentSound();

    ChooseAndLoad(QString());
    EXPECT_TRUE(window->GetPlayer().IsPlaying());
    EXPECT_EQ(window->CurrentSound(), sound);
    EXPECT_TRUE(services.boxes.empty());
    Click("stopButton");
    EXPECT_FALSE(window->GetPlayer().IsPlaying());
    EXPECT_EQ(window->GetPlayer().State().position.load(), 0);
}

TEST_F(WindowTest, FileDialogOpensAtTheLastFileChosen)
{
    const QString file = GoodFile();
    ChooseAndLoad(file);
    ChooseAndLoad(QString());
    ASSERT_EQ(services.startPaths.size(), 2u);
    EXPECT_EQ(services.startPaths[0], QDir::currentPath());
    EXPECT_EQ(services.startPaths[1], file);
}

TEST_F(WindowTest, DroppedFileLoadsAsLoadDoes)
{
    const QString file = GoodFile();
    DropUrl(QUrl::fromLocalFile(file));

    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_TRUE(window->GetPlayer().StreamOpen());
    // The next Load starts at the dropped file.
    ChooseAndLoad(QString());
    EXPECT_EQ(services.startPaths.back(), file);

    // Two files at once are not taken.
    QMimeData two;
    two.setUrls({QUrl::fromLocalFile(file), QUrl::fromLocalFile(file)});
    QDragEnterEvent enterTwo(QPoint(20, 20), Qt::CopyAction, &two, Qt::LeftButton, Qt::NoModifier);
    enterTwo.setAccepted(false);
    QApplication::sendEvent(window.get(), &enterTwo);
    EXPECT_FALSE(enterTwo.isAccepted());
}

TEST_F(WindowTest, ClickOnTheWaveformMovesThePlayPosition)
{
    ChooseAndLoad(GoodFile());
    auto* display = Find<Display>("display");
    const int column = display->ClientWidth() / 2;
    QTest::mouseClick(display, Qt::LeftButton, Qt::NoModifier,
                      QPoint(display->contentsRect().left() + column, display->height() / 2));
    EXPECT_EQ(window->GetPlayer().State().position.load(), FrameAtColumn(column, 22050, display->ClientWidth()));
    EXPECT_GT(window->GetPlayer().State().position.load(), 0);
}

TEST_F(WindowTest, LinksOpenTheirAddresses)
{
    emit Find<QLabel>("webLink")->linkActivated(QString::fromLatin1(kMakerWebAddress));
    emit Find<QLabel>("enquiriesLink")->linkActivated(QString::fromLatin1(kEnquiriesAddress));
    ASSERT_EQ(services.links.size(), 2u);
    EXPECT_EQ(services.links[0], QUrl("https://www.valtrix.example/"));
    EXPECT_EQ(services.links[1], QUrl("mailto:engine@valtrix.example"));
    EXPECT_TRUE(Text(Find<QLabel>("webLink")).contains("www.valtrix.example"));
    EXPECT_TRUE(Text(Find<QLabel>("enquiriesLink")).contains("Engine enquiries"));
}

void ExpectAboutBox(QWidget* box)
{
    EXPECT_EQ(box->windowTitle(), "About Kelvane Demo");
    QStringList lines;
    for (const QLabel* label : box->findChildren<QLabel*>(QStringLiteral("aboutLine"))) {
        lines << label->text();
    }
    QStringList expected;
    for (const char* line : about_box::kLines) {
        expected << QString::fromLatin1(line);
    }
    EXPECT_EQ(lines, expected);
    // Top to bottom in that order.
    const QList<QLabel*> labels = box->findChildren<QLabel*>(QStringLiteral("aboutLine"));
    for (qsizetype i = 1; i < labels.size(); ++i) {
        EXPECT_GT(labels[i]->y(), labels[i - 1]->y());
    }
    EXPECT_NE(box->findChild<QLabel*>(QStringLiteral("enquiriesLink")), nullptr);
    auto* ok = box->findChild<QPushButton*>(QStringLiteral("okButton"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "OK");
    ok->click();
    EXPECT_FALSE(box->isVisible());
}

TEST_F(WindowTest, AboutDemoAndTheContextMenuShowTheSameAboutBox)
{
    WithNextModal(ExpectAboutBox, [this] { Click("aboutButton"); });

    const std::unique_ptr<QMenu> menu = window->CreateContextMenu();
    ASSERT_EQ(menu->actions().size(), 2);
    QAction* entry = menu->actions().constFirst();
    EXPECT_EQ(entry->text(), "&About Sevrane...");
    WithNextModal(ExpectAboutBox, [entry] { entry->trigger(); });
}

TEST_F(WindowTest, EscapeStopsPlaybackAndClosesTheWindow)
{
    window->show();
    ChooseAndLoad(GoodFile());
    Click("playButton");
    ASSERT_TRUE(BecomesPlaying(window->GetPlayer()));
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);
    EXPECT_FALSE(window->GetPlayer().IsPlaying());
}

TEST_F(WindowTest, PlayThatCannotStartShowsTheAudioLibrarysBox)
{
    ChooseAndLoad(GoodFile());
    ASSERT_TRUE(window->GetPlayer().StreamOpen());
    // With the audio library ended under it, the open stream cannot start;
    // every later call on it is refused without touching it.
    ASSERT_EQ(kelvane::playback::EndAudio(), 0);
    Click("playButton");
    const bool playing = window->GetPlayer().IsPlaying();
    window.reset();
    ASSERT_EQ(kelvane::playback::StartAudio(), 0);

    EXPECT_FALSE(playing);
    ASSERT_EQ(services.boxes.size(), 1u);
    EXPECT_EQ(services.boxes[0].title, "Portaudio");
    EXPECT_FALSE(services.boxes[0].text.isEmpty());
}

// Names whose bytes are not UTF-8 (Latin-1 "été.wav" in a folder "démo")
// load by every way in: the file dialog (which shows them with U+FFFD in
// place of those bytes) and a drop (whose URL carries the bytes). A name
// that another entry of its folder shows the same way is not guessed at.
TEST_F(WindowTest, FileNamesThatAreNotUtf8Load)
{
    ASSERT_EQ(::mkdir((folder.path + "/d\xe9mo").c_str(), 0755), 0);
    const std::string native = folder.Write(
        "d\xe9mo/\xe9t\xe9.wav", kelvane::playback::test::Wave(1, 1, 44100, 16, SineData(1, 11025, 44100, 440, 0.5)));
    ASSERT_FALSE(native.empty());
    const QString shown = QFile::decodeName(QByteArray::fromStdString(native));
    ASSERT_TRUE(shown.contains(QChar::ReplacementCharacter));

    ChooseAndLoad(shown);
    EXPECT_TRUE(services.boxes.empty());
    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_EQ(window->CurrentSound()->frameCount, 11025);

    window = std::make_unique<CSevraneDlg>(services);
    DropUrl(QUrl::fromEncoded("file://" + QByteArray::fromStdString(native).toPercentEncoding("/")));
    EXPECT_TRUE(services.boxes.empty());
    ASSERT_NE(window->CurrentSound(), nullptr);
    EXPECT_EQ(window->CurrentSound()->frameCount, 11025);

    // A Latin-1 "ètè.wav" is shown with the same two U+FFFD: now neither is
    // taken for the other.
    ASSERT_FALSE(folder.Write("d\xe9mo/\xe8t\xe9.wav", kelvane::playback::test::Wave(1, 1, 44100, 16, SineData(1, 5000, 44100, 440, 0.5)))
                     .empty());
    ChooseAndLoad(shown);
    EXPECT_EQ(window->CurrentSound(), nullptr);
    EXPECT_EQ(services.boxes.size(), 1u);
}

// The C library switched to a comma-decimal locale, as Qt does at start-up
// for a German user. The locale is generated into a folder of the test's own
// when the system has not got it.
class GermanLocale {
public:
    explicit GermanLocale(const std::string& scratch) : previous(std::setlocale(LC_ALL, nullptr))
    {
        if (std::setlocale(LC_ALL, kName) != nullptr) {
            return;
        }
        const std::string folder = scratch + "/locales";
        const std::string generate = "localedef -i de_DE -f UTF-8 '" + folder + "/" + kName + "' >/dev/null 2>&1";
        if (::mkdir(folder.c_str(), 0755) == 0 && std::system(generate.c_str()) != -1) {
            ::setenv("LOCPATH", folder.c_str(), 1);
            std::setlocale(LC_ALL, kName);
        }
    }
    ~GermanLocale()
    {
        std::setlocale(LC_ALL, previous.c_str());
        ::unsetenv("LOCPATH");
    }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;

    static constexpr const char* kName = "de_DE.UTF-8";

private:
    std::string previous;
};

TEST_F(WindowTest, LabelsReadTheSameUnderACommaDecimalLocale)
{
    const GermanLocale german(folder.path);
    char probe[8];
    std::snprintf(probe, sizeof probe, "%.1f", 2.5);
    ASSERT_STREQ(probe, "2,5") << "the locale " << GermanLocale::kName << " could not be made (scripts/deps installs locales)";

    const struct {
        const char* slider;
        int position;
        const char* label;
        const char* text;
    } rows[] = {
        {"pitchSlider", -14, "pitchValue", "-3.5"},  {"pitchSlider", 0, "pitchValue", " 0.0"},
        {"pitchSlider", 96, "pitchValue", "24.0"},   {"speedSlider", 4, "speedValue", "105.9%"},
        {"speedSlider", 0, "speedValue", "100.0%"}, {"speedSlider", -49, "speedValue", "-25.7%"},
    };
    for (const auto& row : rows) {
        Find<QSlider>(row.slider)->setValue(row.position);
        EXPECT_EQ(Text(Find<QLabel>(row.label)).toStdString(), row.text) << row.slider << " at " << row.position;
    }
}

}  // namespace
}  // namespace sevrane::ui::test
