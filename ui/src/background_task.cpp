#include "background_task.h"

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <thread>

#include "dialog_services.h"

namespace sevrane::ui {

void RunWithProgress(DialogServices& services, QWidget* owner, const QString& title, const QString& label,
                     TaskProgress& progress, const std::function<void()>& work)
{
    const std::unique_ptr<ProgressView> view = services.ShowProgress(owner, title, label);
    std::atomic<bool> finished{false};
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(kProgressPollMilliseconds);
    const auto check = [&] {
        if (view->CancelRequested()) {
            progress.stop.store(1, std::memory_order_relaxed);
        }
        view->Update(progress.done.load(std::memory_order_relaxed), progress.total.load(std::memory_order_relaxed));
        if (finished.load(std::memory_order_acquire)) {
            loop.quit();
        }
    };
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    check();
    poll.start();

    std::thread worker([&] {
        work();
        finished.store(true, std::memory_order_release);
        // Wakes the loop at once rather than at the next poll. Should the
        // loop have ended first, the call is dropped with the timer.
        QMetaObject::invokeMethod(&poll, check, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

}  // namespace sevrane::ui
