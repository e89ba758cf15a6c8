#pragma once
// The summary of a run, unit by unit and image by image: what each unit ran
// before, what it reports after, and whether it ended as planned. The
// terminal tool prints it as a table, the window lists it in a panel.
#include <string>

#include "update/update_procedure.h"

namespace vesk::update {

// "M Pell DL Logger" for the master, "2 GPS Receiver 2017" for slave 2.
std::wstring SummaryUnitName(const CUpdateProcedure::UnitCheck& u);

// The booter: "01.00 -> 01.02" when it was to change or did, its version
// alone otherwise; "-" for a unit without one.
std::wstring SummaryBooter(const CUpdateProcedure::UnitCheck& u);

// An image that cannot be read back (languages, accessories), or a firmware
// written although the plan did not show it, is told in a note; the others
// are told by their versions.
bool SummaryNeedsNote(const CUpdateProcedure::ImageCheck& i);
// "language 46.05.00 written", "accessory 1 NOT written: the write failed".
std::wstring SummaryImageNote(const CUpdateProcedure::ImageCheck& i);

}  // namespace vesk::update
