// Builds widgets from the dialog templates: a font, its dialog units, and
// each control placed at its template rectangle converted to pixels.
#pragma once

#include <QFont>

#include "dialog_templates.h"
#include "dialog_units.h"

class QLabel;
class QWidget;

namespace sevrane::ui {

QFont DialogFont(const DialogFontSpec& spec);
// The dialog units of a font, measured as the platform measures them.
DialogBaseUnits BaseUnitsOf(const QFont& font);
// Puts `widget` at `units` of the grid of `base`.
void Place(QWidget* widget, const DialogRect& units, const DialogBaseUnits& base);
// A fixed text at its place.
QLabel* AddText(QWidget* parent, const TextSpec& spec, const DialogBaseUnits& base);
// A link label that shows `caption` and hands `address` to linkActivated.
QLabel* AddLink(QWidget* parent, const char* caption, const char* address, const DialogRect& units,
                const DialogBaseUnits& base);

}  // namespace sevrane::ui
