#pragma once
// The catalogue of update files found for one connected instrument: for the
// master and each slave slot, the firmware, booter, accessory and other-gauge
// files found in the folders and the one selected for the update.
//
// Every selected entry and every entry list belongs to one unit, identified by
// its serial: a free selected entry (serial 0) is claimed by the first serial
// that asks for it, and a list is handed out only when all its entries carry
// the asking serial. The files of two units can never be mixed up.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

class IFileSystem;

struct FirmupFileEntry {
    uint32_t serial = 0;          // ID_logger of the unit; 0 in an unused entry
    std::wstring fileName;        // within its folder
    std::wstring secondFileName;  // the language file paired with a firmware file
    std::wstring versionText;     // "%02u.%02u.%02u", booter files "%02u.%02u"
    uint32_t versionNumber = 0;
    std::vector<std::wstring> passedOver{};  // other names of the same version, left out for this one
};

using FirmupFileList = std::vector<FirmupFileEntry>;

class CFirmupFilesInfo {
public:
    static constexpr int kSlaveSlots = 32;
    static constexpr int kMaster = -1;  // the "slot" of the master in the keyed collections

    CFirmupFilesInfo();
    virtual ~CFirmupFilesInfo();
    CFirmupFilesInfo(const CFirmupFilesInfo&) = delete;
    CFirmupFilesInfo& operator=(const CFirmupFilesInfo&) = delete;

    // Whether the selected file differs from the installed version text.
    virtual bool FwDaAggiornare(const std::wstring& installed) const;
    virtual bool BooterDaAggiornare(const std::wstring& installed) const;
    virtual bool FwSlaveDaAggiornare(const std::wstring& installed, int slot) const;
    virtual bool BooterSlaveDaAggiornare(const std::wstring& installed, int slot) const;

    // Back to the initial state: selected entries free, lists empty, keyed collections gone.
    void Svuota();

    // Selected entries and lists under the binding rule; null when the slot
    // belongs to another serial (or the slave slot is out of range).
    FirmupFileEntry* GetFw(uint32_t serial);
    FirmupFileList* GetFwList(uint32_t serial);
    FirmupFileEntry* GetBooter(uint32_t serial);
    FirmupFileList* GetBooterList(uint32_t serial);
    FirmupFileEntry* GetFwSlave(int slot, uint32_t serial);
    FirmupFileList* GetFwListSlave(int slot, uint32_t serial);
    FirmupFileEntry* GetBooterSlave(int slot, uint32_t serial);
    FirmupFileList* GetBooterListSlave(int slot, uint32_t serial);
    // Accessory files by index 0..2, other gauges' firmware and booter files by
    // kind; slot is kMaster or a slave slot. Created on first use.
    FirmupFileEntry* GetAccessorio(int index, uint32_t serial, int slot = kMaster);
    FirmupFileList* GetAccessorioList(int index, uint32_t serial, int slot = kMaster);
    FirmupFileEntry* GetOtherFw(int kind, uint32_t serial, int slot = kMaster);
    FirmupFileList* GetOtherFwList(int kind, uint32_t serial, int slot = kMaster);
    FirmupFileEntry* GetOtherBooter(int kind, uint32_t serial, int slot = kMaster);
    FirmupFileList* GetOtherBooterList(int kind, uint32_t serial, int slot = kMaster);
    // Accessory files of another gauge, by kind and element 0..2: a collection
    // of their own, never the unit's own accessory files.
    FirmupFileEntry* GetOtherAccessorio(int kind, int element, uint32_t serial, int slot = kMaster);
    FirmupFileList* GetOtherAccessorioList(int kind, int element, uint32_t serial,
                                           int slot = kMaster);

    // The version number in a file name: the pattern's "*" must be decimal
    // digits and nothing else, the rest of the name the pattern's own text;
    // 0 (and an ERROR line) otherwise.
    static uint32_t GetNumVersioneDaFile(const std::wstring& file_name, const std::wstring& pattern);

    // The three folder scans. Each empties list and fills it with the
    // matching files of folder bound to serial, in ascending version order
    // (name order among equal versions), so the last is the highest version.
    // Firmware and accessory files with version 9999 or less, or above
    // 999999, are left out, and booter files without a version or above
    // 9999; of two names with one version one is kept (OrdinaPerVersione).
    static void ScanSingolo(const std::wstring& folder, const std::wstring& pattern,
                            FirmupFileList& list, uint32_t serial);
    // Only firmware files with a language file of the same six-digit version.
    static void ScanFwLingua(const std::wstring& folder, const std::wstring& fw_pattern,
                             const std::wstring& lng_pattern, FirmupFileList& list,
                             uint32_t serial);
    static void ScanBooter(const std::wstring& folder, const std::wstring& pattern,
                           FirmupFileList& list, uint32_t serial);
    // Copies the list's last entry (the highest version) into selected and
    // returns its version text; the empty text, selected untouched, for an empty list.
    static std::wstring ScegliUltimo(const FirmupFileList& list, FirmupFileEntry& selected);

    // The folder listing the scans share: regular files matching the wildcard
    // pattern without regard to case, sorted by code point.
    static std::vector<std::wstring> ListaFile(const std::wstring& folder, const std::wstring& pattern);

    struct Passaggio;
    // While one lives on this thread, each folder is listed once and every
    // later scan matches in memory: a refresh opens one. Outside, every scan
    // lists afresh.
    class UnPassaggio {
    public:
        UnPassaggio();
        ~UnPassaggio();
        UnPassaggio(const UnPassaggio&) = delete;
        UnPassaggio& operator=(const UnPassaggio&) = delete;

    private:
        std::unique_ptr<Passaggio> mine_;
        Passaggio* previous_;
    };

private:
    struct Unit {
        FirmupFileEntry fw, booter;
        FirmupFileList fwList, booterList;
    };
    struct Keyed {
        FirmupFileEntry selected;
        FirmupFileList list;
    };
    enum class Collection { Accessorio, OtherFw, OtherBooter, OtherAccessorio };
    // collection, slot, index or kind, element (0 where there is none)
    using Key = std::tuple<Collection, int, int, int>;

    static FirmupFileEntry* Bind(FirmupFileEntry& entry, uint32_t serial);
    static FirmupFileList* Bind(FirmupFileList& list, uint32_t serial);
    struct Elenco;
    static std::shared_ptr<const Elenco> ElencoDi(const std::wstring& folder);
    static std::vector<std::wstring> Corrispondenti(const Elenco& folder, const std::wstring& pattern);
    // Ascending versions, name order among equal ones, then one entry per
    // version: the plain name (the pattern with width digits) wins, the
    // others are logged and kept in passedOver.
    static void OrdinaPerVersione(FirmupFileList& list, const std::wstring& pattern, unsigned width);
    static bool DaAggiornare(const FirmupFileList& list, const FirmupFileEntry& selected,
                             const std::wstring& installed);
    Unit* Slave(int slot);
    template <typename T>
    T* SlaveBind(int slot, T Unit::*member, uint32_t serial);
    Keyed& KeyedAt(Collection c, int slot, int key, int element = 0);

    Unit master_;
    Unit slaves_[kSlaveSlots];
    std::map<Key, Keyed> keyed_;
};
