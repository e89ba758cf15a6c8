#include "ui/vesk_dialog_ex_hw_detection.h"

CVeskDialogExHwDetection::CVeskDialogExHwDetection(std::shared_ptr<IHwEventSourceFactory> sources,
                                                   QWidget* parent)
    : QDialog(parent), loop_(this), detection_(this, std::move(sources)) {}

CVeskDialogExHwDetection::~CVeskDialogExHwDetection() { detection_.TerminaGestioneEventiSistema(); }

bool CVeskDialogExHwDetection::Create() {
    if (auto_start_) detection_.AvviaGestioneEventiSistema(loop_);
    return true;
}
