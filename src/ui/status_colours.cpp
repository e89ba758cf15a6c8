#include "ui/status_colours.h"

#include <QPalette>
#include <cmath>

namespace vesk::ui {

namespace {
double Linear(double channel) {
    return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}
}  // namespace

double RelativeLuminance(const QColor& c) {
    const QColor rgb = c.toRgb();
    return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) + 0.0722 * Linear(rgb.blueF());
}

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableRed(const QColor& background) {
    // Towards black on a background that contrasts more with black, else
    // towards white; the red's hue is kept on the way.
    const bool darken = ContrastRatio(background, Qt::black) >= ContrastRatio(background, Qt::white);
    QColor red = QColor::fromHsl(0, 255, 128);
    for (int lightness = 128; lightness >= 0 && lightness <= 255; lightness += darken ? -4 : 4) {
        red = QColor::fromHsl(0, 255, lightness);
        if (ContrastRatio(red, background) >= kMinStatusContrast) return red;
    }
    return darken ? QColor(Qt::black) : QColor(Qt::white);
}

QColor StatusBackground(const QPalette& palette) { return palette.color(QPalette::Active, QPalette::Base); }

QColor StatusText(const QPalette& palette, bool red) {
    return red ? ReadableRed(StatusBackground(palette)) : palette.color(QPalette::Active, QPalette::Text);
}

}  // namespace vesk::ui
