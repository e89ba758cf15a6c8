// What a data-logger master does for the slaves on its net: their files are
// searched and their images written through a slave connection made for the
// one call.
#include "device/conn_slave_base.h"
#include "device/connection_strumento_tipo_quarv.h"

std::wstring CConnectionStrumentoTipoQuarv::CercaFileFirmwareSlave(std::wstring& version,
                                                                   size_t slot,
                                                                   const std::wstring& fw_folder,
                                                                   const std::wstring& acc_folder,
                                                                   CFirmupFilesInfo* catalogue) {
    return CConnSlaveBase::CercaFirmwareDelSlave(*this, version, slot, fw_folder, acc_folder,
                                                 catalogue);
}

std::wstring CConnectionStrumentoTipoQuarv::CercaFileBooterSlave(std::wstring& version,
                                                                 size_t slot,
                                                                 const std::wstring& boot_folder,
                                                                 CFirmupFilesInfo* catalogue) {
    return CConnSlaveBase::CercaBooterDelSlave(*this, version, slot, boot_folder, catalogue);
}

bool CConnectionStrumentoTipoQuarv::AggiornaFwFileSlave(size_t slot, const std::wstring& path) {
    return CConnSlaveBase::AggiornaSlave(*this, CConnSlaveBase::Scrittura::Firmware, slot, path);
}

bool CConnectionStrumentoTipoQuarv::AggiornaLngFileSlave(size_t slot, const std::wstring& path) {
    return CConnSlaveBase::AggiornaSlave(*this, CConnSlaveBase::Scrittura::Lingua, slot, path);
}

bool CConnectionStrumentoTipoQuarv::AggiornaBooterFileSlave(size_t slot, const std::wstring& path) {
    return CConnSlaveBase::AggiornaSlave(*this, CConnSlaveBase::Scrittura::Booter, slot, path);
}

bool CConnectionStrumentoTipoQuarv::AggiornaAccessoriFileSlave(size_t slot, int index,
                                                               const std::wstring& path) {
    return CConnSlaveBase::AggiornaSlave(*this, CConnSlaveBase::Scrittura::Accessorio, slot, path,
                                         index);
}
