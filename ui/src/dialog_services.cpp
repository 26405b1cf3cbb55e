#include "dialog_services.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <vector>

#include "sound_files/sound_file_reader.h"
#include "sound_files/sound_file_writer.h"

namespace sevrane::ui {

namespace {

// A short task shows no dialog at all; a longer one shows it after this.
constexpr int kProgressShowMilliseconds = 300;
// The progress bar's steps.
constexpr int kProgressSteps = 1000;

QString Patterns(const std::vector<std::string>& extensions)
{
    QStringList patterns;
    for (const std::string& extension : extensions) {
        patterns << QStringLiteral("*.") + QString::fromStdString(extension);
    }
    return patterns.join(QLatin1Char(' '));
}

// Opens the dialog at `startPath`: a folder, or a file to select in its folder.
QString RunFileDialog(QFileDialog& dialog, const QString& startPath)
{
    const QFileInfo start(startPath);
    if (start.isDir()) {
        dialog.setDirectory(startPath);
    } else {
        dialog.setDirectory(start.absolutePath());
        dialog.selectFile(start.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

// A label, a bar and Cancel; window-modal once shown, so that the window it
// belongs to takes no clicks while its task runs, and shown only when the
// task takes long enough to need it.
class DesktopProgressView final : public ProgressView {
public:
    DesktopProgressView(QWidget* owner, const QString& title, const QString& label) : dialog(owner)
    {
        dialog.setObjectName(QStringLiteral("progressDialog"));
        dialog.setWindowTitle(title);
        dialog.setWindowModality(Qt::WindowModal);
        auto* layout = new QVBoxLayout(&dialog);
        auto* text = new QLabel(label, &dialog);
        text->setObjectName(QStringLiteral("progressLabel"));
        layout->addWidget(text);
        bar = new QProgressBar(&dialog);
        bar->setObjectName(QStringLiteral("progressBar"));
        bar->setMinimumWidth(320);
        layout->addWidget(bar);
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
        cancel->setObjectName(QStringLiteral("progressCancel"));
        cancel->setAutoDefault(false);
        layout->addWidget(cancel, 0, Qt::AlignRight);
        QObject::connect(cancel, &QPushButton::clicked, &dialog, [this] { cancelled = true; });
        // Esc and the close box cancel too.
        QObject::connect(&dialog, &QDialog::rejected, &dialog, [this] { cancelled = true; });
        QTimer::singleShot(kProgressShowMilliseconds, &dialog, [this] { dialog.show(); });
    }

    void Update(std::uint64_t done, std::uint64_t total) override
    {
        if (total == 0) {
            bar->setRange(0, 0);
            return;
        }
        bar->setRange(0, kProgressSteps);
        bar->setValue(static_cast<int>(static_cast<double>(std::min(done, total)) / total * kProgressSteps));
    }
    bool CancelRequested() const override { return cancelled; }

private:
    QDialog dialog;
    QProgressBar* bar = nullptr;
    bool cancelled = false;
};

}  // namespace

QStringList SoundFileFilters()
{
    return {QStringLiteral("Sound Files (") + Patterns(kelvane::sound_files::ReadableExtensions()) + QLatin1Char(')'),
            QStringLiteral("Wave Files (*.wav)"), QStringLiteral("All Files (*)")};
}

QStringList ExportFileFilters()
{
    using kelvane::sound_files::Container;
    QStringList filters;
    for (const Container container :
         {Container::Wav, Container::Flac, Container::OggVorbis, Container::Aiff, Container::W64}) {
        std::vector<std::string> extensions = {std::string(kelvane::sound_files::ContainerExtension(container)).substr(1)};
        if (container == Container::Aiff) {
            extensions.push_back("aif");
        }
        filters << QString::fromLatin1(kelvane::sound_files::ContainerName(container)) + QStringLiteral(" (") +
                       Patterns(extensions) + QLatin1Char(')');
    }
    return filters;
}

QString DesktopDialogServices::ChooseSoundFile(QWidget* owner, const QString& startPath)
{
    QFileDialog dialog(owner, QStringLiteral("Open Sound File"));
    dialog.setObjectName(QStringLiteral("openDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = SoundFileFilters();
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.constFirst());
    return RunFileDialog(dialog, startPath);
}

QString DesktopDialogServices::ChooseExportFile(QWidget* owner, const QString& startPath)
{
    QFileDialog dialog(owner, QStringLiteral("Export Sound File"));
    dialog.setObjectName(QStringLiteral("exportDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(ExportFileFilters());
    // A name typed without an extension is written as WAV, as kelvane-render does.
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    return RunFileDialog(dialog, startPath);
}

std::unique_ptr<ProgressView> DesktopDialogServices::ShowProgress(QWidget* owner, const QString& title,
                                                                  const QString& label)
{
    return std::make_unique<DesktopProgressView>(owner, title, label);
}

void DesktopDialogServices::ShowError(QWidget* owner, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, owner);
    box.exec();
}

void DesktopDialogServices::OpenLink(const QUrl& address)
{
    QDesktopServices::openUrl(address);
}

}  // namespace sevrane::ui
