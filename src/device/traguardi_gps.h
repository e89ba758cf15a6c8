#pragma once
// The GPS finish lines an instrument holds: a header table and a table of
// lines, kept as read. The data-logger families and the data key reach them
// through the slave that GpsSlave names (0: the master itself); the Pell
// masters through their GPS requests.
#include <cstdint>
#include <vector>

#include "records/datalogger_layout.h"

class CConnectionStrumentoBase;

class CTraguardiGPS {
public:
    static constexpr uint32_t kHeaderSize = datalogger::kTraguardiHeaderSize;
    static constexpr uint32_t kLineeSize = datalogger::kTraguardiLineeSize;
    static constexpr uint32_t kSize = datalogger::kTraguardiSize;
    static constexpr uint32_t kBlock = 128;  // bytes per block toward the slave

    std::vector<uint8_t>& Header() { return header_; }
    std::vector<uint8_t>& Linee() { return linee_; }
    bool Letti() const { return letti_; }
    // Read, and at least one line is set.
    bool Disponibili() const;
    // Header and lines one after the other, as a file holds them.
    std::vector<uint8_t> Immagine() const;
    // False, and nothing changed, unless data holds kSize bytes.
    bool SetImmagine(const std::vector<uint8_t>& data);

    // Through the GPS slave: memory requests 4 and 61 to read; WriteMEM_GPS
    // and SLAVE_BULKWRITE per block, a read-back and a restart to write.
    bool LeggiDaSlave(CConnectionStrumentoBase& conn, const char* method);
    bool ScriviSuSlave(CConnectionStrumentoBase& conn, const char* method);
    // Writes erased tables.
    bool CancellaSuSlave(CConnectionStrumentoBase& conn, const char* method);

    // Through the GPS requests of the Pell masters.
    bool LeggiGPS(CConnectionStrumentoBase& conn, const char* method);
    bool ScriviGPS(CConnectionStrumentoBase& conn, const char* method);
    bool CancellaGPS(CConnectionStrumentoBase& conn, const char* method);

private:
    // The GPS slave number of the connection's master; false (logged) when it has none.
    static bool GpsSlave(CConnectionStrumentoBase& conn, const char* method, uint8_t& nslave);
    bool LeggiTabelle(CConnectionStrumentoBase& conn, const char* method, uint8_t nslave,
                      std::vector<uint8_t>& header, std::vector<uint8_t>& linee);
    void Traccia(CConnectionStrumentoBase& conn, bool scrittura) const;

    std::vector<uint8_t> header_ = std::vector<uint8_t>(kHeaderSize, 0xFF);
    std::vector<uint8_t> linee_ = std::vector<uint8_t>(kLineeSize, 0xFF);
    bool letti_ = false;
};
