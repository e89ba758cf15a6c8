#include "device/connection_memory_key.h"

#include "device/key_writers.h"

namespace {
constexpr uint32_t kImageEnd = 0x1000000;
}

CConnectionMemoryKey::CConnectionMemoryKey(const std::wstring& app_folder)
    : CConnectionStrumentoBase(app_folder) {
    FirmwareFile() = {0xE0000, 0xF8000, 0, L"MemoryKey_*_fw.mot"};
    BooterFile() = {0xFC000, 0x100000, 0, L"Booter_Keys_*.mot"};
}

bool CConnectionMemoryKey::AggiornaFwFile(const std::wstring& path) {
    const UpdateFileDescriptor& d = FirmwareFile();
    return key_writers::ScriviFirmware(*this, "CConnectionMemoryKey::AggiornaFwFile", d.start,
                                       d.end, path);
}

bool CConnectionMemoryKey::AggiornaBooterFile(const std::wstring& path) {
    const UpdateFileDescriptor& d = BooterFile();
    return key_writers::ScriviBooter(*this, "CConnectionMemoryKey::AggiornaBooterFile", d.start,
                                     d.end, kImageEnd - d.start, path);
}
