#pragma once
// The status field's text colours, taken from the palette so that a dark
// theme stays readable: the normal status in the palette's text colour, the
// warning in a red made dark or light enough to read on the field's base.
#include <QColor>

class QPalette;

namespace vesk::ui {

// The contrast a status text keeps against its background at least (the
// WCAG level for normal text).
inline constexpr double kMinStatusContrast = 4.5;

// WCAG relative luminance (0 black .. 1 white) and contrast ratio (1 .. 21).
double RelativeLuminance(const QColor& c);
double ContrastRatio(const QColor& a, const QColor& b);

// A red with at least kMinStatusContrast against background: darkened on a
// light one, lightened on a dark one.
QColor ReadableRed(const QColor& background);

// The status field shows its text on the palette's base colour.
QColor StatusBackground(const QPalette& palette);
QColor StatusText(const QPalette& palette, bool red);

}  // namespace vesk::ui
