#include "ui/qt_text.h"

#include <QFontMetrics>
#include <QWidget>

#include "update/settings/engine.h"

QString Tr(const std::wstring& key) { return Q(vesk::Translate(key)); }

namespace {

// A dialog unit is a quarter of the font's average character width and an
// eighth of its height.
double BaseX(const QWidget* w) {
    const QFontMetrics fm(w->font());
    static const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    return fm.horizontalAdvance(letters) / 52.0;
}

}  // namespace

int DialogUnitsX(const QWidget* w, int x) { return int(x * BaseX(w) / 4.0 + 0.5); }

QSize DialogUnits(const QWidget* w, int x, int y) {
    const QFontMetrics fm(w->font());
    return QSize(DialogUnitsX(w, x), int(y * fm.height() / 8.0 + 0.5));
}
