// A long task (reading a sound, rendering an export) run on a worker thread
// while the window goes on: it paints, its timers run, and the progress
// dialog shows how far the task has got and takes Cancel.
#pragma once

#include <QString>
#include <functional>

#include "task_progress.h"

class QWidget;

namespace sevrane::ui {

class DialogServices;

// How often the progress dialog is brought up to date.
inline constexpr int kProgressPollMilliseconds = 50;

// Runs `work` on a worker thread, showing `progress` in the services'
// progress dialog (`title`, `label`) owned by `owner`; Cancel there sets
// `progress.stop`, which `work` is to heed. Returns once `work` has returned,
// having handled this thread's events meanwhile. A cancel asked for as the
// dialog opens is set before `work` begins.
void RunWithProgress(DialogServices& services, QWidget* owner, const QString& title, const QString& label,
                     TaskProgress& progress, const std::function<void()>& work);

}  // namespace sevrane::ui
