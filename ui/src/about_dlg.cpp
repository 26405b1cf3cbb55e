#include "about_dlg.h"

#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include "artwork.h"
#include "dialog_services.h"
#include "template_widgets.h"

namespace sevrane::ui {

CAboutDlg::CAboutDlg(DialogServices& services, QWidget* parent) : QDialog(parent)
{
    using namespace about_box;
    setWindowTitle(QString::fromLatin1(kTitle));
    setFont(DialogFont(kFont));
    const DialogBaseUnits base = BaseUnitsOf(font());
    const DialogRect size = ToPixels({0, 0, kWidth, kHeight}, base);
    setFixedSize(size.width, size.height);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    Place(icon, kIcon, base);
    icon->setPixmap(RenderArtwork(kIconResource, icon->size(), devicePixelRatioF()));

    for (const TextSpec& text : kHeading) {
        AddText(this, text, base);
    }
    QLabel* link = AddLink(this, kEnquiriesCaption, kEnquiriesAddress, kEnquiriesLink, base);
    link->setObjectName(QStringLiteral("enquiriesLink"));
    connect(link, &QLabel::linkActivated, this,
            [&services](const QString& address) { services.OpenLink(QUrl(address)); });

    int top = kLinesTop;
    for (const char* line : kLines) {
        QLabel* label = AddText(this, {line, {kLinesLeft, top, kLinesWidth, kLineHeight}, TextAlign::Left}, base);
        label->setObjectName(QStringLiteral("aboutLine"));
        top += kLineSpacing;
    }

    auto* ok = new QPushButton(QString::fromLatin1(kOk.caption), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    Place(ok, kOk.rect, base);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace sevrane::ui
