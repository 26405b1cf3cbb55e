#include "dialog_services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

namespace sevrane::ui {

QString DesktopDialogServices::ChooseSoundFile(QWidget* owner, const QString& startPath)
{
    QFileDialog dialog(owner, QStringLiteral("Open Sound File"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Wave Files (*.wav)"), QStringLiteral("All Files (*)")});
    dialog.selectNameFilter(QStringLiteral("Wave Files (*.wav)"));
    dialog.setDefaultSuffix(QStringLiteral("wav"));
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
