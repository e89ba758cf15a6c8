#pragma once
// Turns a Motorola S-record file into a flat binary image of instrument memory.
//
// First mode: the caller fixes the address range (size and base), the image is
// pre-filled with 0xFF and LoadFileMhx copies every data record into it and
// stamps the 16-byte header. Second mode: the converter is made from a file name
// and GetBinBuffPtrAndLen / GetBinBuffPtrAndLen_Generic derive the range from
// the file itself.
//
// Bytes of records that fall outside the image are skipped; nothing is ever
// written or read outside it. A load that puts no byte into the image fails:
// a file meant for another memory area must not pass for an erased image. Every data record's byte count and checksum are
// verified and records may not overlap: a corrupted file must never reach an
// instrument.
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

// Memory for an image or the map of its written bytes, zero-filled. Blocks of
// 2 MB and more are mapped on huge pages where the system offers them: filling
// a 16 MB image page by page costs more than parsing its file.
class CImageMemory {
public:
    CImageMemory() = default;
    // Empty when the memory cannot be had.
    static CImageMemory Zeroed(size_t size);
    ~CImageMemory() { reset(); }
    CImageMemory(CImageMemory&& other) noexcept { *this = std::move(other); }
    CImageMemory& operator=(CImageMemory&& other) noexcept;
    CImageMemory(const CImageMemory&) = delete;
    CImageMemory& operator=(const CImageMemory&) = delete;

    uint8_t* get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }
    void reset();

private:
    uint8_t* data_ = nullptr;
    void* mapped_ = nullptr;  // null: data_ is from the heap
    size_t mapped_size_ = 0;
};

class IMHX2Bin {
public:
    virtual ~IMHX2Bin() = default;
    // checksum_offset: -1 starts the checksum at the lowest data address,
    // otherwise at image base + checksum_offset.
    virtual bool LoadFileMhx(const std::wstring& file_name, bool without_header,
                             int32_t checksum_offset) = 0;
    virtual uint8_t* GetBinBuffPtrAndLen_Generic(uint16_t& checksum, uint32_t& start,
                                                 uint32_t& end) = 0;
    virtual uint8_t* GetBinBuffPtr() = 0;
    virtual bool PreparaBuffer(uint32_t size, uint32_t base) = 0;
};

class CMHX2Bin : public IMHX2Bin {
public:
    // First mode: an image of size bytes standing for [base, base + size).
    CMHX2Bin(uint32_t size, uint32_t base);
    // Second mode: the image is derived from the file.
    explicit CMHX2Bin(const std::wstring& file_name);
    ~CMHX2Bin() override = default;
    CMHX2Bin(const CMHX2Bin&) = delete;
    CMHX2Bin& operator=(const CMHX2Bin&) = delete;

    bool LoadFileMhx(const std::wstring& file_name, bool without_header,
                     int32_t checksum_offset) override;
    uint8_t* GetBinBuffPtrAndLen_Generic(uint16_t& checksum, uint32_t& start,
                                         uint32_t& end) override;
    uint8_t* GetBinBuffPtr() override { return image_.get(); }
    // Allocates when there is no image or the existing one is too small, then
    // fills size bytes with 0xFF. False when the allocation fails.
    bool PreparaBuffer(uint32_t size, uint32_t base) override;
    uint8_t* GetBinBuffPtrAndLen(uint16_t& checksum, uint32_t& start, uint32_t& end);

    uint32_t GetBinBuffLen() const { return length_; }
    uint32_t GetBinBuffBase() const { return base_; }

    // Interprets the current line: returns the record type and sets the data
    // byte count and address. Raises a parse failure on a malformed field.
    int InterpretaSRecord(uint32_t& count, uint32_t& address);
    // Value of n hex digits; a non-hex character (the line's terminating NUL
    // included) raises "Not valid Hex code in SRecord".
    uint32_t Hex2Dec(const char* chars, int n);

    // The largest image the second mode allocates; a file spanning more is
    // refused like a failed allocation.
    static constexpr uint64_t kMaxDerivedImage = 256u * 1024u * 1024u;

private:
    enum class Align { None, Unit512K, S2Page };
    struct Range {
        uint64_t start = 0xFFFFFFFFu;
        uint64_t end = 0;
        bool any = false;
        uint64_t inside = 0;  // data bytes that landed in the image
    };

    uint8_t* DeriveImage(const char* method, Align align, uint16_t& checksum, uint32_t& start,
                         uint32_t& end);
    // The checks before reading: the file exists, its time converts, it opens.
    // Returns the open descriptor, or -1 after logging the failure.
    int OpenSource(const char* method, const std::wstring& file_name, std::tm* utc);
    // Reads and interprets every line; copy writes the data into the image,
    // otherwise only the range is gathered. On a failure fills error (empty
    // for an unexpected one).
    bool Pass(int fd, Align align, bool copy, Range& range, std::string& error);
    // False, with its one ERROR line, when the load gave the image no byte.
    bool HasDataInImage(const char* method, const Range& range) const;
    // Hands one checked data record (type 1..3) to the image and the range.
    void TakeRecord(uint32_t count, uint32_t address, const uint8_t* data, bool copy,
                    Align align, Range& range);
    // Reads the data and checksum bytes of a data record of the current line
    // into out and verifies byte count and checksum.
    void CheckDataRecord(int type, uint8_t* out);

    std::wstring file_name_;
    // The line being interpreted, in place in the reader's buffer; followed
    // by a character that is no hex digit.
    const char* line_ = "";
    size_t line_size_ = 0;
    CImageMemory image_;
    uint32_t capacity_ = 0;
    uint32_t length_ = 0;
    uint32_t base_ = 0;
    uint32_t s2_page_mask_ = 0xFFFFFFFFu;
    // Image bytes already written by this load: a byte given twice makes the
    // file ambiguous and fails the load.
    CImageMemory written_;
    // For the messages of a failing line.
    std::string path_for_messages_;
    uint32_t line_number_ = 0;
};

std::unique_ptr<IMHX2Bin> CreateMHX2Bin(uint32_t size, uint32_t base);
