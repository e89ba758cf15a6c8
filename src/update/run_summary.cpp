#include "update/run_summary.h"

namespace vesk::update {

std::wstring SummaryUnitName(const CUpdateProcedure::UnitCheck& u) {
    return (u.row_index == 0 ? std::wstring(L"M ") : std::to_wstring(u.row_index) + L" ") + u.device;
}

std::wstring SummaryBooter(const CUpdateProcedure::UnitCheck& u) {
    const CUpdateProcedure::ImageCheck* b = u.Image(L"booter");
    if (!b) return L"-";
    const std::wstring after = u.found ? b->after : L"?";
    if (b->refused) return b->before + L" (its firmware does not update it)";
    if (!b->planned && !b->written && (!u.found || b->after == b->before)) return b->before;
    return b->before + L" -> " + after +
           (b->planned && b->after != b->expected ? L" (expected " + b->expected + L")" : L"");
}

bool SummaryNeedsNote(const CUpdateProcedure::ImageCheck& i) {
    return !i.read_back || (i.image == L"firmware" && i.written && !i.planned);
}

std::wstring SummaryImageNote(const CUpdateProcedure::ImageCheck& i) {
    const std::wstring what = i.image + (i.expected.empty() ? L"" : L" " + i.expected);
    if (!i.planned && i.written) return what + L" written although the plan did not show it";
    if (i.written) return what + L" written";
    return what + (i.write_failed ? L" NOT written: the write failed" : L" NOT written");
}

}  // namespace vesk::update
