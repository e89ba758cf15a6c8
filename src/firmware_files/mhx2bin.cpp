#include "firmware_files/mhx2bin.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>

#include "common/str_conv.h"
#include "common/user_file.h"
#include "log/evt_log.h"

namespace {

// A malformed line; caught at the converter's own boundary.
class SRecordFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr std::array<int8_t, 256> MakeHexTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<int8_t>(c - 'a' + 10);
    return t;
}
constexpr std::array<int8_t, 256> kHex = MakeHexTable();

inline int HexDigit(char c) { return kHex[static_cast<uint8_t>(c)]; }

const char kNotHex[] = "Not valid Hex code in SRecord";
const char kUnknownType[] = "Unknown S record Type";

// The longest record: count 0xFF gives 4 + 2 * 255 characters. Anything longer
// is kept only this far; the byte-count check then rejects it.
constexpr size_t kMaxKeptLine = 600;

class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads a file once, line by line (lines end at '\n'), and hands each line out
// in place in its buffer: no copy and no allocation per line. A line is kept
// only as far as a record can go; the character after a line handed out is
// never a hex digit, so a field cut by the line's end fails as at a NUL.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd), buf_(new char[kBufSize + 1]) { buf_[0] = '\0'; }

    // False at the end of the file. Throws on a read error. The line stays
    // valid until the next call; trailing CR, blanks and tabs are cut.
    bool Next(const char*& line, size_t& size) {
        for (;;) {
            char* from = buf_.get() + pos_;
            const size_t avail = len_ - pos_;
            if (const void* nl = std::memchr(from, '\n', avail)) {
                const size_t n = static_cast<size_t>(static_cast<const char*>(nl) - from);
                pos_ += n + 1;
                return Hand(from, n, line, size);
            }
            if (eof_) {
                if (avail == 0) return false;
                pos_ = len_;
                return Hand(from, avail, line, size);
            }
            if (pos_ > 0) {
                // The start of a line cut by the buffer's end moves to the front.
                std::memmove(buf_.get(), from, avail);
                len_ = avail;
                pos_ = 0;
            } else if (len_ == kBufSize) {
                return LongLine(line, size);
            }
            Fill();
        }
    }

private:
    static constexpr size_t kBufSize = 1 << 20;

    bool Hand(char* from, size_t n, const char*& line, size_t& size) {
        n = std::min(n, kMaxKeptLine + 1);
        while (n > 0 && (from[n - 1] == '\r' || from[n - 1] == ' ' || from[n - 1] == '\t')) --n;
        line = from;
        size = n;
        return true;
    }

    // A line longer than the whole buffer: its start is kept apart and the
    // rest read through up to its end.
    bool LongLine(const char*& line, size_t& size) {
        long_.assign(buf_.get(), kMaxKeptLine + 1);
        for (;;) {
            pos_ = len_ = 0;
            Fill();
            if (eof_) break;
            if (const void* nl = std::memchr(buf_.get(), '\n', len_)) {
                pos_ = static_cast<size_t>(static_cast<const char*>(nl) - buf_.get()) + 1;
                break;
            }
        }
        return Hand(long_.data(), long_.size(), line, size);
    }

    // Appends what the file has next; a read of nothing marks its end.
    void Fill() {
        for (;;) {
            const ssize_t n = ::read(fd_, buf_.get() + len_, kBufSize - len_);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw SRecordFailure("Cannot read file");
            if (n == 0) eof_ = true;
            len_ += static_cast<size_t>(n);
            buf_[len_] = '\0';
            return;
        }
    }

    int fd_;
    std::unique_ptr<char[]> buf_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
    std::string long_;
};

// Marks image bytes [first, last) as written, a word of the map at a time;
// false when one of them already was.
bool MarkWritten(uint64_t* written, uint64_t first, uint64_t last) {
    const uint64_t w_first = first >> 6, w_last = (last - 1) >> 6;
    for (uint64_t w = w_first; w <= w_last; ++w) {
        const unsigned lo = w == w_first ? first & 63 : 0;
        const unsigned hi = w == w_last ? (last - 1) & 63 : 63;
        const uint64_t mask = (~uint64_t{0} >> (63 - hi)) & (~uint64_t{0} << lo);
        if (written[w] & mask) return false;
        written[w] |= mask;
    }
    return true;
}

inline uint8_t Bcd(unsigned v) {
    v %= 256;
    return static_cast<uint8_t>((v % 10) + 16 * ((v / 10) % 10));
}

inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// 16-bit wrapping sum of the little-endian words starting at image address
// from, up to (not including) to; bytes outside the image add nothing.
uint16_t WordSum(const uint8_t* image, uint64_t base, uint64_t length, uint64_t from,
                 uint64_t to) {
    const uint64_t lo = base, hi = base + length;
    uint32_t sum = 0;
    uint64_t a = from;
    if (a < lo) a = lo + ((a ^ lo) & 1);  // keep the word alignment of from
    for (; a < to && a + 1 < hi; a += 2)
        sum += image[a - base] | (image[a + 1 - base] << 8);
    if (a < to && a < hi) sum += image[a - base];  // low byte of a word cut by the image end
    return static_cast<uint16_t>(sum);
}

// The two modes word their parse failures differently.
void LogParseFailure(const char* method, bool first_mode, const std::string& error) {
    if (error.empty())
        VLOG_ERROR(method, "Unexpected exception caught");
    else if (first_mode)
        VLOG_ERROR(method, "Exception caught: %s", error.c_str());
    else
        VLOG_ERROR(method, "Exception caught %s", error.c_str());
}

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

CImageMemory CImageMemory::Zeroed(size_t size) {
    CImageMemory m;
    if (size < kHugePage) {
        m.data_ = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
        return m;
    }
    // One huge page of slack to start on a huge-page boundary.
    const size_t mapped = (size + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return m;
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    m.data_ = reinterpret_cast<uint8_t*>(aligned);
    m.mapped_ = p;
    m.mapped_size_ = mapped;
    ::madvise(m.data_, mapped - kHugePage, MADV_HUGEPAGE);  // a hint: small pages work too
    return m;
}

CImageMemory& CImageMemory::operator=(CImageMemory&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        mapped_ = std::exchange(other.mapped_, nullptr);
        mapped_size_ = std::exchange(other.mapped_size_, 0);
    }
    return *this;
}

void CImageMemory::reset() {
    if (mapped_)
        ::munmap(mapped_, mapped_size_);
    else
        std::free(data_);
    data_ = nullptr;
    mapped_ = nullptr;
    mapped_size_ = 0;
}

CMHX2Bin::CMHX2Bin(uint32_t size, uint32_t base) { PreparaBuffer(size, base); }

CMHX2Bin::CMHX2Bin(const std::wstring& file_name) : file_name_(file_name) {}

bool CMHX2Bin::PreparaBuffer(uint32_t size, uint32_t base) {
    if (!image_ || capacity_ < size) {
        image_ = CImageMemory::Zeroed(size);
        capacity_ = image_ ? size : 0;
        if (!image_) {
            length_ = 0;
            base_ = base;
            VLOG_ERROR("CMHX2Bin::PreparaBuffer", "There's not enough memory to perform conversion %u",
                       size);
            return false;
        }
    }
    length_ = size;
    base_ = base;
    std::memset(image_.get(), 0xFF, size);
    return true;
}

uint32_t CMHX2Bin::Hex2Dec(const char* chars, int n) {
    if (n > 8) VLOG_ERROR("CMHX2Bin::Hex2Dec", "len = %d -->error", n);
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
        const int d = HexDigit(chars[i]);
        if (d < 0) throw SRecordFailure(kNotHex);  // also stops at the line's NUL
        value = value * 16 + static_cast<uint32_t>(d);
    }
    return value;
}

int CMHX2Bin::InterpretaSRecord(uint32_t& count, uint32_t& address) {
    const char* line = line_;
    const size_t size = line_size_;
    auto at = [&](size_t pos) { return line + std::min(pos, size); };
    const int type = size >= 2 && (line[0] == 'S' || line[0] == 's') ? line[1] - '0' : -1;
    switch (type) {
    case 0:
    case 1:
        count = Hex2Dec(at(2), 2) - 3;
        address = Hex2Dec(at(4), 4);
        break;
    case 2:
        count = Hex2Dec(at(2), 2) - 4;
        address = Hex2Dec(at(4), 6);
        if (s2_page_mask_ == 0xFFFFFFFFu) s2_page_mask_ = 0xFF000000u | (address & 0x00FF0000u);
        break;
    case 3:
        count = Hex2Dec(at(2), 2) - 5;
        address = Hex2Dec(at(4), 8);
        break;
    case 7:
    case 8:
    case 9:
        count = 0;
        address = 0;
        break;
    default:
        VLOG_ERROR("CMHX2Bin::InterpretaSRecord", "Unknown S record Type");
        throw SRecordFailure(kUnknownType);
    }
    return type;
}

void CMHX2Bin::CheckDataRecord(int type, uint8_t* out) {
    const char* line = line_;
    const size_t size = line_size_;
    const uint32_t raw = Hex2Dec(line + 2, 2);
    const uint32_t address_bytes = static_cast<uint32_t>(type) + 1;
    const auto count_failure = [&] {
        return SRecordFailure("S record byte count does not match the line in file " +
                              path_for_messages_ + " line " + std::to_string(line_number_));
    };
    if (raw < address_bytes + 1) throw count_failure();
    uint32_t sum = raw;
    for (size_t i = 4; i < 4 + 2 * address_bytes; i += 2) sum += Hex2Dec(line + i, 2);
    // Data bytes, then the checksum byte; a short line ends in its NUL, which
    // is no hex digit, so nothing past the line is read.
    const size_t n = raw - address_bytes;
    const char* p = line + 4 + 2 * address_bytes;
    for (size_t i = 0; i < n; ++i, p += 2) {
        const int hi = HexDigit(p[0]);
        if (hi < 0) {
            if (i + 1 == n && p == line + size) throw count_failure();  // checksum missing
            throw SRecordFailure(kNotHex);
        }
        const int lo = HexDigit(p[1]);
        if (lo < 0) throw SRecordFailure(kNotHex);
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
        sum += out[i];
    }
    if (static_cast<size_t>(p - line) != size) throw count_failure();
    if ((sum & 0xFF) != 0xFF)
        throw SRecordFailure("S record checksum error in file " + path_for_messages_ + " line " +
                             std::to_string(line_number_));
}

void CMHX2Bin::TakeRecord(uint32_t count, uint32_t address, const uint8_t* data, bool copy,
                          Align align, Range& range) {
    const uint64_t a = address;
    const uint64_t e = a + count;
    if (count > 0) range.any = true;
    range.end = std::max(range.end, e);
    if (a < range.start) {
        switch (align) {
        case Align::None:
            range.start = a;
            break;
        case Align::Unit512K:
            range.start = a & ~uint64_t{0x7FFFF};
            break;
        case Align::S2Page:
            range.start = a & s2_page_mask_;
            break;
        }
    }
    if (!copy || !image_) return;
    const uint64_t lo = std::max<uint64_t>(a, base_);
    const uint64_t hi = std::min<uint64_t>(e, uint64_t{base_} + length_);
    if (lo >= hi) return;
    const uint64_t first = lo - base_, last = hi - base_;
    if (!MarkWritten(reinterpret_cast<uint64_t*>(written_.get()), first, last))
        throw SRecordFailure("S record overlaps earlier data in file " + path_for_messages_ +
                             " line " + std::to_string(line_number_));
    std::memcpy(image_.get() + first, data + (lo - a), hi - lo);
    range.inside += hi - lo;
}

bool CMHX2Bin::Pass(int fd, Align align, bool copy, Range& range, std::string& error) {
    LineReader reader(fd);
    line_number_ = 0;
    if (copy) {
        written_ = CImageMemory::Zeroed((uint64_t{length_} + 63) / 64 * sizeof(uint64_t));
        if (!written_) {
            error.clear();  // out of memory: an unexpected failure
            return false;
        }
    }
    std::array<uint8_t, 256> data{};
    try {
        while (reader.Next(line_, line_size_)) {
            ++line_number_;
            if (line_size_ == 0) continue;
            uint32_t count = 0, address = 0;
            const int type = InterpretaSRecord(count, address);
            if (type < 1 || type > 3) continue;
            CheckDataRecord(type, data.data());
            TakeRecord(count, address, data.data(), copy, align, range);
        }
    } catch (const SRecordFailure& f) {
        line_ = "";
        line_size_ = 0;
        error = f.what();
        return false;
    } catch (...) {
        line_ = "";
        line_size_ = 0;
        error.clear();
        return false;
    }
    // The reader and its buffer go with this pass.
    line_ = "";
    line_size_ = 0;
    written_.reset();
    return true;
}

int CMHX2Bin::OpenSource(const char* method, const std::wstring& file_name, std::tm* utc) {
    const std::string path = vesk::to_utf8(file_name);
    path_for_messages_ = path;
    struct stat st{};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        VLOG_ERROR(method, "Cannot find file %s", path.c_str());
        return -1;
    }
    const time_t mtime = st.st_mtime;
    if (!::gmtime_r(&mtime, utc)) {
        VLOG_ERROR(method, "Cannot convert file time (%s)", path.c_str());
        return -1;
    }
    // Only a regular file: a folder cannot be read and a FIFO would block.
    int fd = S_ISREG(st.st_mode) ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (fd < 0) {
        VLOG_ERROR(method, "Cannot open file %s", path.c_str());
        return -1;
    }
    // Checked again on what was opened: the name may have been replaced meanwhile.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uintmax_t(st.st_size) > vesk::kMaxSRecordFile) {
        VLOG_ERROR(method, "Cannot open file %s: not a regular file of at most %zu bytes", path.c_str(),
                   vesk::kMaxSRecordFile);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool CMHX2Bin::LoadFileMhx(const std::wstring& file_name, bool without_header,
                           int32_t checksum_offset) {
    const char* method = "CMHX2Bin::LoadFileMhx";
    std::tm utc{};
    const FileHandle file(OpenSource(method, file_name, &utc));
    if (file.get() < 0) return false;
    if (!image_) {
        VLOG_ERROR(method, "Wrong software function call");
        return false;
    }
    Range range;
    std::string error;
    if (!Pass(file.get(), Align::None, true, range, error)) {
        LogParseFailure(method, true, error);
        return false;
    }
    // A file without data, or without data for this image, would be flashed
    // as an erased image.
    if (!HasDataInImage(method, range)) return false;
    if (without_header) return true;

    uint64_t start = range.start;
    uint64_t end = range.end;
    if (checksum_offset != -1)
        start = static_cast<uint64_t>(std::max<int64_t>(0, int64_t{base_} + checksum_offset));
    if (end & 1) ++end;
    uint32_t words = 0;
    uint16_t checksum = 0;
    if (start < end) {
        words = static_cast<uint32_t>((end - start) / 2);
        checksum = WordSum(image_.get(), base_, length_, start, end);
    }
    uint8_t header[16] = {};
    Put32(header, words);
    Put32(header + 4, checksum);
    header[10] = Bcd(static_cast<unsigned>(utc.tm_hour));
    header[11] = Bcd(static_cast<unsigned>(utc.tm_min));
    header[12] = Bcd(static_cast<unsigned>(utc.tm_mday));
    header[13] = Bcd(static_cast<unsigned>(utc.tm_mon + 1));
    const unsigned year = static_cast<unsigned>(utc.tm_year + 1900);
    header[14] = Bcd(year / 100);
    header[15] = Bcd(year % 100);
    std::memcpy(image_.get(), header, std::min<uint32_t>(16, length_));
    return true;
}

bool CMHX2Bin::HasDataInImage(const char* method, const Range& range) const {
    if (!range.any) {
        VLOG_ERROR(method, "No S record data in file %s", path_for_messages_.c_str());
        return false;
    }
    if (range.inside == 0) {
        VLOG_ERROR(method, "No S record data inside the image (0x%X, %u bytes) in file %s", base_,
                   length_, path_for_messages_.c_str());
        return false;
    }
    return true;
}

uint8_t* CMHX2Bin::DeriveImage(const char* method, Align align, uint16_t& checksum,
                               uint32_t& start, uint32_t& end) {
    checksum = 0;
    end = 0;
    start = 0xFFFFFFFFu;
    std::tm utc{};
    {
        const FileHandle file(OpenSource(method, file_name_, &utc));
        if (file.get() < 0) return nullptr;
        if (image_) {
            VLOG_ERROR(method, "Wrong software function call");
            return nullptr;
        }
        Range range;
        std::string error;
        if (!Pass(file.get(), align, false, range, error)) {
            LogParseFailure(method, false, error);
            return nullptr;
        }
        if (!range.any) {
            HasDataInImage(method, range);  // logs why
            return nullptr;
        }
        range.end = std::min<uint64_t>(range.end, 0xFFFFFFFFu);
        const uint64_t size = range.end - range.start;
        if (size <= kMaxDerivedImage) image_ = CImageMemory::Zeroed(size);
        if (!image_) {
            VLOG_ERROR(method, "There's not enough memory to perform conversion %u",
                       static_cast<unsigned>(size));
            return nullptr;
        }
        capacity_ = length_ = static_cast<uint32_t>(size);
        base_ = static_cast<uint32_t>(range.start);
        std::memset(image_.get(), 0xFF, size);
    }
    // The second pass opens the name again: it must still be a regular file.
    const FileHandle again(::open(path_for_messages_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    Range copied;
    std::string error;
    struct stat st {};
    if (again.get() < 0 || ::fstat(again.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "Cannot read file";
    }
    const bool read = error.empty() && Pass(again.get(), align, true, copied, error);
    if (!read) LogParseFailure(method, false, error);
    // Data only at the very end of the address space leaves an image of no bytes.
    if (!read || !HasDataInImage(method, copied)) {
        image_.reset();
        capacity_ = length_ = 0;
        return nullptr;
    }
    checksum = WordSum(image_.get(), base_, length_, base_, uint64_t{base_} + (length_ & ~1u));
    start = base_;
    end = base_ + length_;
    return image_.get();
}

uint8_t* CMHX2Bin::GetBinBuffPtrAndLen(uint16_t& checksum, uint32_t& start, uint32_t& end) {
    return DeriveImage("CMHX2Bin::GetBinBuffPtrAndLen", Align::Unit512K, checksum, start, end);
}

uint8_t* CMHX2Bin::GetBinBuffPtrAndLen_Generic(uint16_t& checksum, uint32_t& start,
                                               uint32_t& end) {
    return DeriveImage("CMHX2Bin::GetBinBuffPtrAndLen_Generic", Align::S2Page, checksum, start,
                       end);
}

std::unique_ptr<IMHX2Bin> CreateMHX2Bin(uint32_t size, uint32_t base) {
    return std::make_unique<CMHX2Bin>(size, base);
}
