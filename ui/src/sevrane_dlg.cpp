#include "sevrane_dlg.h"

#include <QAction>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <QUrl>

#include <algorithm>
#include <vector>

#include "about_dlg.h"
#include "artwork.h"
#include "background_task.h"
#include "dialog_services.h"
#include "display.h"
#include "native_path.h"
#include "practice_keys.h"
#include "slider_mapping.h"
#include "sound_export.h"
#include "sound_loading.h"
#include "template_widgets.h"

namespace sevrane::ui {

namespace {

constexpr const char* kAboutEntry = "&About Sevrane...";
constexpr const char* kClearRegionEntry = "Clear loop region";
constexpr const char* kExportEntry = "Export...";
const QKeySequence kExportKey(Qt::CTRL | Qt::Key_E);

QSlider* AddSlider(QWidget* parent, const char* name, const DialogRect& units, const DialogBaseUnits& base)
{
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(QString::fromLatin1(name));
    slider->setRange(kSliderMinimum, kSliderMaximum);
    slider->setValue(0);
    slider->setSingleStep(1);
    slider->setPageStep(kSliderTickInterval);
    slider->setTickPosition(QSlider::TicksBothSides);
    slider->setTickInterval(kSliderTickInterval);
    slider->setFocusPolicy(Qt::StrongFocus);
    Place(slider, units, base);
    return slider;
}

QPushButton* AddButton(QWidget* parent, const char* name, const ControlSpec& spec, const DialogBaseUnits& base)
{
    auto* button = new QPushButton(QString::fromLatin1(spec.caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    Place(button, spec.rect, base);
    return button;
}

QCheckBox* AddCheckBox(QWidget* parent, const char* name, const ControlSpec& spec, const DialogBaseUnits& base)
{
    auto* box = new QCheckBox(QString::fromLatin1(spec.caption), parent);
    box->setObjectName(QString::fromLatin1(name));
    Place(box, spec.rect, base);
    return box;
}

// The one local file a drag carries, as the file system spells it, or "".
std::string DraggedFile(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1 || !data->urls().constFirst().isLocalFile()) {
        return {};
    }
    return NativePath(data->urls().constFirst());
}

// A file's name as the window shows it (bytes that are not UTF-8 as Qt
// shows them).
QString FileNameOf(const std::string& nativePath)
{
    return QFileInfo(DisplayPath(nativePath)).fileName();
}

}  // namespace

CSevraneDlg::CSevraneDlg(DialogServices& services, QWidget* parent) : QDialog(parent), services(services)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QString::fromLatin1(main_dialog::kTitle));
    setWindowIcon(ApplicationIcon());
    setFont(DialogFont(main_dialog::kFont));
    setAcceptDrops(true);
    BuildControls();

    // Start-up state: both sliders at 0, Loop on, Formant preserve off, and
    // no stream, so nothing to play or stop yet.
    OnPitchMoved(pitchSlider->value());
    OnSpeedMoved(speedSlider->value());
    loopBox->setChecked(true);
    player.SetLoop(true);
    formantBox->setChecked(false);
    formantPreserved = false;
    UpdateFormant();
    ShowTransport(false);

    display->SetPlayerState(&player.State(), [this] { return player.IsPlaying(); });
    display->SizeOverview();
    new PracticeKeys(this, {&player, pitchSlider, speedSlider, loopBox, formantBox, [this] { OnLoad(); },
                            [this] { display->FollowPlayback(); },
                            [this](const auto& failure) { ShowPlaybackFailure(failure); }});
    // Ctrl+E exports from anywhere in the window.
    auto* exportAction = new QAction(this);
    exportAction->setShortcut(kExportKey);
    connect(exportAction, &QAction::triggered, this, &CSevraneDlg::ExportSound);
    addAction(exportAction);
}

CSevraneDlg::~CSevraneDlg() = default;

void CSevraneDlg::BuildControls()
{
    using namespace main_dialog;
    const DialogBaseUnits base = BaseUnitsOf(font());
    const DialogRect size = ToPixels({0, 0, kWidth, kHeight}, base);
    setFixedSize(size.width, size.height);

    auto* markLogo = new QLabel(this);
    markLogo->setObjectName(QStringLiteral("markLogo"));
    markLogo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Place(markLogo, kMarkLogo, base);
    markLogo->setPixmap(RenderArtwork(kMarkLogoResource, markLogo->contentsRect().size(), devicePixelRatioF()));
    auto* wordmarkLogo = new QLabel(this);
    wordmarkLogo->setObjectName(QStringLiteral("wordmarkLogo"));
    Place(wordmarkLogo, kWordmarkLogo, base);
    wordmarkLogo->setPixmap(RenderArtwork(kWordmarkLogoResource, wordmarkLogo->size(), devicePixelRatioF()));

    const auto openLink = [this](const QString& address) { services.OpenLink(QUrl(address)); };
    QLabel* webLink = AddLink(this, kMakerWebCaption, kMakerWebAddress, kWebLink, base);
    webLink->setObjectName(QStringLiteral("webLink"));
    connect(webLink, &QLabel::linkActivated, this, openLink);
    QLabel* enquiriesLink = AddLink(this, kEnquiriesCaption, kEnquiriesAddress, kEnquiriesLink, base);
    enquiriesLink->setObjectName(QStringLiteral("enquiriesLink"));
    connect(enquiriesLink, &QLabel::linkActivated, this, openLink);

    for (const TextSpec& text : kTexts) {
        AddText(this, text, base);
    }
    AddText(this, {"", kSpareLabel, TextAlign::Left}, base);

    display = new Display(this);
    display->setObjectName(QStringLiteral("display"));
    Place(display, kDisplay, base);
    connect(display, &Display::SeekRequested, this, [this](std::int32_t frame) {
        player.Seek(frame);
        display->FollowPlayback();
    });
    connect(display, &Display::RegionSelected, this, [this](std::int32_t first, std::int32_t last) {
        player.SetLoopRegion(first, last);
        // Stopped, the cursor goes to the region, where Space starts.
        if (!player.IsPlaying()) {
            player.Seek(first);
        }
        display->FollowPlayback();
    });
    connect(display, &Display::RegionCleared, this, &CSevraneDlg::ClearLoopRegion);

    pitchSlider = AddSlider(this, "pitchSlider", kPitchSlider, base);
    speedSlider = AddSlider(this, "speedSlider", kSpeedSlider, base);
    pitchValue = AddText(this, {kPitchValueTemplateText, kPitchValue, TextAlign::Centre}, base);
    pitchValue->setObjectName(QStringLiteral("pitchValue"));
    speedValue = AddText(this, {kSpeedValueTemplateText, kSpeedValue, TextAlign::Centre}, base);
    speedValue->setObjectName(QStringLiteral("speedValue"));
    // valueChanged comes with every movement (dragging, keys, clicks), so the
    // labels follow the thumb and not only its release.
    connect(pitchSlider, &QSlider::valueChanged, this, &CSevraneDlg::OnPitchMoved);
    connect(speedSlider, &QSlider::valueChanged, this, &CSevraneDlg::OnSpeedMoved);

    QPushButton* load = AddButton(this, "loadButton", kLoad, base);
    connect(load, &QPushButton::clicked, this, &CSevraneDlg::OnLoad);
    formantBox = AddCheckBox(this, "formantBox", kFormant, base);
    connect(formantBox, &QCheckBox::clicked, this, &CSevraneDlg::OnFormantClicked);
    loopBox = AddCheckBox(this, "loopBox", kLoop, base);
    connect(loopBox, &QCheckBox::clicked, this, [this](bool checked) { player.SetLoop(checked); });
    playButton = AddButton(this, "playButton", kPlay, base);
    connect(playButton, &QPushButton::clicked, this, [this] {
        ShowPlaybackFailure(player.Play());
        display->FollowPlayback();
    });
    stopButton = AddButton(this, "stopButton", kStop, base);
    connect(stopButton, &QPushButton::clicked, this, [this] {
        player.Stop();
        display->FollowPlayback();
    });
    QPushButton* about = AddButton(this, "aboutButton", kAbout, base);
    connect(about, &QPushButton::clicked, this, &CSevraneDlg::ShowAbout);
}

void CSevraneDlg::OnLoad()
{
    if (runningTask != nullptr) {
        return;
    }
    if (lastPath.isEmpty()) {
        lastPath = QDir::currentPath();
    }
    const QString path = services.ChooseSoundFile(this, lastPath);
    if (path.isEmpty()) {
        return;
    }
    lastPath = path;
    LoadFile(path);
}

void CSevraneDlg::LoadFile(const QString& path)
{
    LoadNativeFile(NativePath(path));
}

void CSevraneDlg::LoadNativeFile(const std::string& nativePath)
{
    if (runningTask != nullptr) {
        return;
    }
    // Nothing may read the old sound once it is gone: the stream closes
    // first and the display lets go of it.
    player.CloseStream();
    display->SetSound(nullptr);
    ShowTransport(false);
    sound.reset();
    soundPath.clear();
    UpdateTitle();
    display->update();

    auto loading = std::make_unique<LoadedSound>();
    TaskProgress progress;
    SoundLoad load;
    // The overview of a long sound takes a while too: it is made with the
    // reading, off the window's thread.
    std::vector<OverviewColumn> overview(static_cast<std::size_t>(std::max(display->ClientWidth(), 0)));
    const int overviewHeight = display->ClientHeight();
    const QString name = FileNameOf(nativePath);
    RunTask(QStringLiteral("Loading"), QStringLiteral("Loading %1...").arg(name), progress, [&] {
        load = LoadAnySound(nativePath, *loading, progress);
        if (load.outcome == LoadOutcome::Loaded) {
            ComputeOverview(loading->samples.data(), loading->frameCount, loading->channels, overviewHeight,
                            overview);
        }
    });
    if (load.outcome == LoadOutcome::Cancelled) {
        return;
    }
    if (load.outcome == LoadOutcome::Refused) {
        // The WAV loader's texts are shown as they are; the other reader's
        // say what was refused.
        const QString text = ReaderFor(nativePath) == SoundReader::Wave
                                 ? QString::fromUtf8(load.refusal)
                                 : QStringLiteral("%1 cannot be played: %2").arg(name, QString::fromUtf8(load.refusal));
        services.ShowError(this, QString::fromLatin1(kRefusedFileTitle), text);
        return;
    }
    sound = std::move(loading);
    soundInfo = load.info;
    soundPath = nativePath;
    UpdateTitle();

    formantBox->setChecked(false);
    formantPreserved = false;
    UpdateFormant();
    display->SetSound(sound.get(), std::move(overview));
    display->repaint();
    update();

    ShowPlaybackFailure(player.OpenPlayback(*sound));
    ShowTransport(player.StreamOpen());
}

void CSevraneDlg::RunTask(const QString& title, const QString& label, TaskProgress& progress,
                          const std::function<void()>& work)
{
    runningTask = &progress;
    RunWithProgress(services, this, title, label, progress, work);
    runningTask = nullptr;
}

void CSevraneDlg::UpdateTitle()
{
    const QString title = QString::fromLatin1(main_dialog::kTitle);
    setWindowTitle(sound ? FileNameOf(soundPath) + QString::fromLatin1(kWindowTitleSeparator) + title : title);
}

void CSevraneDlg::ExportSound()
{
    if (runningTask != nullptr || !sound) {
        return;
    }
    QString start = lastExportPath;
    if (start.isEmpty()) {
        const QFileInfo source(DisplayPath(soundPath));
        start = source.dir().filePath(source.completeBaseName() + QStringLiteral("-export.wav"));
    }
    const QString path = services.ChooseExportFile(this, start);
    if (path.isEmpty()) {
        return;
    }
    lastExportPath = path;

    ExportRequest request;
    request.sound = sound.get();
    request.info = soundInfo;
    request.sourcePath = soundPath;
    request.outputPath = NativePath(path);
    request.span = ExportSpanOf(*sound, player.LoopRegion());
    const SpeedSetting speed = SpeedFromSlider(speedSlider->value());
    request.controls = {PitchFromSlider(pitchSlider->value()), speed.percent, speed.reverse, formantPreserved};

    TaskProgress progress;
    ExportOutcome outcome;
    RunTask(QStringLiteral("Exporting"), QStringLiteral("Exporting %1...").arg(QFileInfo(path).fileName()), progress,
            [&] { outcome = RenderExport(request, progress); });
    if (outcome.result == ExportResult::Refused || outcome.result == ExportResult::Failed) {
        services.ShowError(this, QString::fromLatin1(kRefusedFileTitle), QString::fromUtf8(outcome.message));
    }
}

void CSevraneDlg::ShowPlaybackFailure(const std::optional<PlaybackFailure>& failure)
{
    if (failure.has_value()) {
        services.ShowError(this, QString::fromStdString(failure->title), QString::fromStdString(failure->text));
    }
}

void CSevraneDlg::OnPitchMoved(int position)
{
    const float semitones = PitchFromSlider(position);
    player.SetPitchTarget(semitones);
    pitchValue->setText(QString::fromStdString(PitchLabel(semitones)));
    UpdateFormant();
}

void CSevraneDlg::OnSpeedMoved(int position)
{
    const SpeedSetting speed = SpeedFromSlider(position);
    player.SetSpeed(speed.percent, speed.reverse);
    speedValue->setText(QString::fromStdString(SpeedLabel(speed)));
}

void CSevraneDlg::OnFormantClicked(bool checked)
{
    formantPreserved = checked;
    UpdateFormant();
}

void CSevraneDlg::UpdateFormant()
{
    // Preserving the formants means shifting them with the pitch.
    player.SetFormantSemitones(formantPreserved ? PitchFromSlider(pitchSlider->value()) : 0.0f);
}

void CSevraneDlg::ShowTransport(bool shown)
{
    playButton->setVisible(shown);
    stopButton->setVisible(shown);
}

std::unique_ptr<QMenu> CSevraneDlg::CreateContextMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    QAction* clearRegion = menu->addAction(QString::fromLatin1(kClearRegionEntry), this, &CSevraneDlg::ClearLoopRegion);
    clearRegion->setEnabled(player.LoopRegion().has_value());
    QAction* exportEntry = menu->addAction(QString::fromLatin1(kExportEntry), this, &CSevraneDlg::ExportSound);
    exportEntry->setShortcut(kExportKey);
    exportEntry->setEnabled(sound != nullptr && runningTask == nullptr);
    menu->addSeparator();
    menu->addAction(QString::fromLatin1(kAboutEntry), this, &CSevraneDlg::ShowAbout);
    return menu;
}

void CSevraneDlg::ClearLoopRegion()
{
    player.ClearLoopRegion();
    display->Refresh();
}

void CSevraneDlg::ShowAbout()
{
    CAboutDlg about(services, this);
    about.exec();
}

void CSevraneDlg::reject()
{
    // A load or export still running is stopped; it ends, leaving nothing,
    // before the window is gone.
    if (runningTask != nullptr) {
        runningTask->stop.store(1, std::memory_order_relaxed);
    }
    player.Abort();
    display->StopFollowing();
    display->ReleaseOverview();
    QDialog::reject();
}

void CSevraneDlg::contextMenuEvent(QContextMenuEvent* event)
{
    CreateContextMenu()->exec(event->globalPos());
}

void CSevraneDlg::dragEnterEvent(QDragEnterEvent* event)
{
    if (!DraggedFile(event->mimeData()).empty()) {
        event->acceptProposedAction();
    }
}

void CSevraneDlg::dropEvent(QDropEvent* event)
{
    const std::string path = DraggedFile(event->mimeData());
    if (path.empty()) {
        return;
    }
    event->acceptProposedAction();
    lastPath = DisplayPath(path);
    // Loaded once the drop has finished, so that a message box about the file
    // does not hold up the program it was dragged from.
    QMetaObject::invokeMethod(this, [this, path] { LoadNativeFile(path); }, Qt::QueuedConnection);
}

}  // namespace sevrane::ui
