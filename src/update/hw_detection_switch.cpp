#include "update/hw_detection_switch.h"

#include "hwdetect/vesk_hw_check_device.h"

void CHwDetectionSwitch::TerminaGestioneEventiSistema() { detection_.TerminaGestioneEventiSistema(); }

void CHwDetectionSwitch::AvviaGestioneEventiSistema() { detection_.AvviaGestioneEventiSistema(loop_); }

bool CHwDetectionSwitch::IsOn() const { return detection_.UsbDetectionOn; }
