#pragma once
// Conversions between the program's wide texts and Qt's, and dialog units.
#include <QSize>
#include <QString>
#include <string>

class QWidget;

inline QString Q(const std::wstring& s) { return QString::fromStdWString(s); }
inline std::wstring W(const QString& s) { return s.toStdWString(); }
// The string table's translation, as a QString.
QString Tr(const std::wstring& key);
// The dialog-unit size of the original templates in pixels of w's font.
QSize DialogUnits(const QWidget* w, int x, int y);
int DialogUnitsX(const QWidget* w, int x);
