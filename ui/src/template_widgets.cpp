#include "template_widgets.h"

#include <QFontMetrics>
#include <QLabel>
#include <QString>

namespace sevrane::ui {

namespace {

constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

Qt::Alignment AlignmentOf(TextAlign align)
{
    switch (align) {
        case TextAlign::Centre:
            return Qt::AlignHCenter | Qt::AlignTop;
        case TextAlign::Right:
            return Qt::AlignRight | Qt::AlignTop;
        case TextAlign::Left:
            break;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

}  // namespace

QFont DialogFont(const DialogFontSpec& spec)
{
    QFont font(QString::fromLatin1(spec.family), spec.pointSize);
    // Where the template's face is missing, any plain sans face will do.
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    const QFontMetrics metrics(font);
    return {AverageCharWidth(metrics.horizontalAdvance(QString::fromLatin1(kAlphabet))), metrics.height()};
}

void Place(QWidget* widget, const DialogRect& units, const DialogBaseUnits& base)
{
    const DialogRect pixels = ToPixels(units, base);
    widget->setGeometry(pixels.x, pixels.y, pixels.width, pixels.height);
}

QLabel* AddText(QWidget* parent, const TextSpec& spec, const DialogBaseUnits& base)
{
    auto* label = new QLabel(QString::fromUtf8(spec.text), parent);
    label->setAlignment(AlignmentOf(spec.align));
    label->setTextFormat(Qt::PlainText);
    Place(label, spec.rect, base);
    return label;
}

QLabel* AddLink(QWidget* parent, const char* caption, const char* address, const DialogRect& units,
                const DialogBaseUnits& base)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    label->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                       .arg(QString::fromLatin1(address).toHtmlEscaped(),
                            QString::fromLatin1(caption).toHtmlEscaped()));
    label->setOpenExternalLinks(false);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    Place(label, units, base);
    return label;
}

}  // namespace sevrane::ui
