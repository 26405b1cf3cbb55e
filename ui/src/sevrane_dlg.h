// The main window: load a sound file, play and stop it, loop it, and move
// its pitch and speed with two sliders while it plays; the waveform above
// shows the file and where playback is, and a drag across it selects a
// passage to loop. Keys work the player too (practice_keys.h). What it plays
// can be exported.
//
// The window only presents. Playback is the Player's; what the sliders mean
// is in slider_mapping.h; file choice, message boxes and links go through
// DialogServices. Every handler runs on the GUI thread, and none of the
// control handlers (sliders, check boxes) calls the engine: they only write
// the player's shared controls, which the audio callback picks up.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "playback/loaded_sound.h"
#include "playback/player.h"
#include "sound_files/sound_file_reader.h"
#include "task_progress.h"

class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;

namespace sevrane::ui {

using kelvane::playback::LoadedSound;
using kelvane::playback::PlaybackFailure;
using kelvane::playback::Player;

class DialogServices;
class Display;

// Title of the boxes that refuse a file.
inline constexpr const char* kRefusedFileTitle = "Valtrix";
// The window's title, after the loaded file's name ("song.mp3 - ...").
inline constexpr const char* kWindowTitleSeparator = " - ";

class CSevraneDlg final : public QDialog {
    Q_OBJECT

public:
    explicit CSevraneDlg(DialogServices& services, QWidget* parent = nullptr);
    ~CSevraneDlg() override;

    // Loads `path` as the Load button does once a file is chosen: stops and
    // closes playback, drops the current sound, loads the new one and opens
    // playback for it. A .wav file goes through the WAV loader, any other
    // through the sound-file reader. A refused file is reported and leaves no
    // sound, the empty view, and Play and Stop hidden. The file is read on a
    // worker thread while the window goes on, with a progress dialog whose
    // Cancel leaves no sound, as a refusal does but without a box. Returns
    // once the load has ended; does nothing while a load or an export runs.
    void LoadFile(const QString& path);
    // The same for a path as the file system spells it (its bytes need not
    // be UTF-8).
    void LoadNativeFile(const std::string& nativePath);

    // Asks for a file and renders into it what plays: the whole sound, or
    // the loop region when one is set, with the current pitch, speed,
    // direction and formant setting, on a worker thread with a progress
    // dialog. Cancel leaves no file; the loaded file is never written over.
    // Nothing without a sound, or while a load or an export runs.
    void ExportSound();

    // The entries of the window's context menu: "Clear loop region" (enabled
    // only while there is one), "Export..." (only with a sound) and
    // "&About Sevrane...".
    std::unique_ptr<QMenu> CreateContextMenu();
    // Shows the about box modally.
    void ShowAbout();

    const Player& GetPlayer() const noexcept { return player; }
    Player& GetPlayer() noexcept { return player; }
    const LoadedSound* CurrentSound() const noexcept { return sound.get(); }

public slots:
    // Esc and the close box: stops playback and the timers, then closes.
    void reject() override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    void OnLoad();
    void OnPitchMoved(int position);
    void OnSpeedMoved(int position);
    void OnFormantClicked(bool checked);
    void UpdateFormant();
    void ShowTransport(bool shown);
    void ClearLoopRegion();
    // "song.mp3 - Kelvane demonstration" with a file, the template's title
    // without.
    void UpdateTitle();
    // Runs `work` on a worker thread with the progress dialog; one at a time.
    void RunTask(const QString& title, const QString& label, TaskProgress& progress,
                 const std::function<void()>& work);
    // A failure of opening or starting the stream, in its box ("Portaudio"
    // with the audio library's text, or "Instance problem").
    void ShowPlaybackFailure(const std::optional<PlaybackFailure>& failure);

    DialogServices& services;
    // The sound is declared before the player: the player's stream reads it
    // until the player ends.
    std::unique_ptr<LoadedSound> sound;
    Player player;
    // The loaded file, as the file system spells it, and what it holds.
    std::string soundPath;
    kelvane::sound_files::SoundInfo soundInfo;
    QString lastPath;
    QString lastExportPath;
    // The load or export running, if any.
    TaskProgress* runningTask = nullptr;
    bool formantPreserved = false;

    QSlider* pitchSlider = nullptr;
    QSlider* speedSlider = nullptr;
    QLabel* pitchValue = nullptr;
    QLabel* speedValue = nullptr;
    QCheckBox* formantBox = nullptr;
    QCheckBox* loopBox = nullptr;
    QPushButton* playButton = nullptr;
    QPushButton* stopButton = nullptr;
    Display* display = nullptr;
};

}  // namespace sevrane::ui
