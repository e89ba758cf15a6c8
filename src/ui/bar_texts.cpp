#include "ui/bar_texts.h"

#include <algorithm>

#include "update/settings/engine.h"
#include "ui/qt_text.h"

void CTextBar::SetText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    setTextVisible(!text_.isEmpty());
    update();
}

void CTextBar::SetValue(int value) {
    if (value == this->value()) return;
    // Updates back on schedule a paint (update()), never a repaint().
    setUpdatesEnabled(false);
    setValue(value);
    setUpdatesEnabled(true);
}

namespace vesk::ui {

QString OverallBarText(int value, int maximum) { return Tr(L"Step %1 of %2").arg(value).arg(maximum); }

QString WriteBarText(WriteKind what, const std::wstring& unit, uint32_t done, uint32_t total) {
    const wchar_t* text = L"";
    switch (what) {
    case WriteKind::Firmware: text = TextToTranslate(L"Firmware to %1: %2 %"); break;
    case WriteKind::Booter: text = TextToTranslate(L"Booter to %1: %2 %"); break;
    case WriteKind::Language: text = TextToTranslate(L"Language to %1: %2 %"); break;
    case WriteKind::Accessory: text = TextToTranslate(L"Accessory to %1: %2 %"); break;
    case WriteKind::Other: text = TextToTranslate(L"Writing to %1: %2 %"); break;
    }
    const uint64_t percent = total == 0 ? 100 : uint64_t(std::min(done, total)) * 100 / total;
    // One pass: a "%1" in the unit's name is not taken for the next argument.
    return Tr(text).arg(Q(unit), QString::number(percent));
}

QString WaitBarText(const std::wstring& what, uint64_t remaining_ms) {
    const uint64_t seconds = (remaining_ms + 999) / 1000;
    if (what.empty()) return Tr(L"Waiting: %1 s").arg(seconds);
    return Tr(L"Waiting for %1: %2 s").arg(Q(what), QString::number(seconds));
}

}  // namespace vesk::ui
