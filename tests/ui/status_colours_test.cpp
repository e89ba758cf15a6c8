// The status field stays readable on every theme: its colours against the
// base they are drawn on, by the WCAG contrast ratio.
#include <gtest/gtest.h>

#include <QPalette>

#include "ui/status_colours.h"

namespace {

using vesk::ui::ContrastRatio;
using vesk::ui::kMinStatusContrast;

TEST(StatusColours, ContrastRatioByTheWcagFormula) {
    EXPECT_NEAR(ContrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(ContrastRatio(Qt::white, Qt::white), 1.0, 1e-9);
    // The reference values of the formula: pure red on white is 4.0:1, on black 5.25:1.
    EXPECT_NEAR(ContrastRatio(QColor(255, 0, 0), Qt::white), 4.0, 0.01);
    EXPECT_NEAR(ContrastRatio(QColor(255, 0, 0), Qt::black), 5.25, 0.01);
    EXPECT_NEAR(ContrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
}

// Bases of light and dark themes, a mid grey among them: the red stays a red
// (its hue) and readable on each.
TEST(StatusColours, RedIsReadableOnLightAndDarkBases) {
    const struct {
        const char* name;
        QColor base;
    } bases[] = {
        {"white", Qt::white},          {"Breeze light", QColor(0xfc, 0xfc, 0xfc)},
        {"Fusion light", QColor(0xff, 0xff, 0xff)}, {"Adwaita dark", QColor(0x2d, 0x2d, 0x2d)},
        {"Breeze dark", QColor(0x1b, 0x1e, 0x20)},  {"black", Qt::black},
        {"mid grey", QColor(0x76, 0x76, 0x76)},     {"dark blue", QColor(0x10, 0x18, 0x40)},
    };
    for (const auto& b : bases) {
        SCOPED_TRACE(b.name);
        const QColor red = vesk::ui::ReadableRed(b.base);
        EXPECT_GE(ContrastRatio(red, b.base), kMinStatusContrast) << red.name().toStdString();
        EXPECT_EQ(red.hslHue(), 0) << red.name().toStdString();
        EXPECT_GT(red.hslSaturation(), 200) << red.name().toStdString();
    }
}

// The field shows its text on the palette's base; the normal status takes
// the palette's text colour, so a dark theme's light text on its dark base.
TEST(StatusColours, BothStatusColoursOnLightAndDarkPalettes) {
    QPalette light;
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(0x23, 0x26, 0x29));
    dark.setColor(QPalette::Text, QColor(0xfc, 0xfc, 0xfc));
    for (const QPalette* p : {&light, &dark}) {
        SCOPED_TRACE(p == &light ? "light" : "dark");
        const QColor base = vesk::ui::StatusBackground(*p);
        EXPECT_EQ(base, p->color(QPalette::Base));
        EXPECT_EQ(vesk::ui::StatusText(*p, false), p->color(QPalette::Text));
        for (const bool red : {false, true})
            EXPECT_GE(ContrastRatio(vesk::ui::StatusText(*p, red), base), kMinStatusContrast) << red;
    }
}

}  // namespace
