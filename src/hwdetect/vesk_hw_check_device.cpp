#include "hwdetect/vesk_hw_check_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <exception>

#include "common/str_conv.h"
#include "hwdetect/hw_system_source_factory.h"
#include "log/evt_log.h"

namespace {

constexpr size_t kMaxPath = 260;
constexpr const wchar_t* kVeskUsbPattern = L"USB#VID_11CC&PID";
constexpr const wchar_t* kInfoFileName = L".vesk_info.txt";

std::string Narrow(const std::wstring& s) { return vesk::to_utf8(s); }

// The info file of a memory medium is small; a medium is anybody's, so a link,
// a FIFO or a huge file under that name must not stall the window's thread or
// lead the read elsewhere. Anything but a regular file of at most this size
// counts as no info file.
constexpr size_t kMaxInfoFile = 64 * 1024;

bool ReadInfoFile(const std::string& path, std::vector<uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kMaxInfoFile;
    // One byte more than allowed tells a file that grew since fstat.
    bytes.assign(kMaxInfoFile + 1, 0);
    size_t got = 0;
    while (ok && got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    ok = ok && got <= kMaxInfoFile;
    bytes.resize(ok ? got : 0);
    return ok;
}

}  // namespace

CVesk_HW_CheckDevice::CVesk_HW_CheckDevice(IDestMsgHwDetection* dest,
                                           std::shared_ptr<IHwEventSourceFactory> sources)
    : dest_(dest), sources_(std::move(sources)) {
    if (!sources_) sources_ = std::make_shared<CHwSystemSourceFactory>();
}

CVesk_HW_CheckDevice::~CVesk_HW_CheckDevice() {
    // Leaves no handler behind in the loop that could call a destroyed object.
    TerminaGestioneEventiSistema();
}

bool CVesk_HW_CheckDevice::WatchSource(const std::shared_ptr<IHwEventSource>& source) {
    // The handler keeps the source alive while it drains: a destination may
    // switch detection off from inside its callback.
    std::weak_ptr<IHwEventSource> weak = source;
    return window_->Watch(source->Fd(), source->PollEvents(), [this, weak] {
        if (auto s = weak.lock()) s->Drain(*this);
    });
}

void CVesk_HW_CheckDevice::AvviaGestioneEventiSistema(IHwEventLoop& window) {
    const char* method = "CVesk_HW_CheckDevice::AvviaGestioneEventiSistema";
    // A start while running would leave the old sources in the loop, their
    // handlers pointing at sources about to be freed: release them first.
    TerminaGestioneEventiSistema();
    window_ = &window;
    FailureCause.clear();

    handle_count_ = 1;
    device_notifications_.assign(handle_count_, nullptr);
    try {
        bool all = true;
        for (int i = 0; i < handle_count_; ++i) {
            std::string error;
            auto source = sources_->OpenUsbSource(error);
            if (!source) {
                VLOG_FILE_ERROR(method, "Register device notification failure: %s", error.c_str());
                FailureCause = "USB device notifications: " + error;
                all = false;
                break;
            }
            if (!WatchSource(source)) {
                VLOG_FILE_ERROR(method, "Register device notification failure: %s",
                                std::strerror(errno));
                FailureCause = std::string("USB device notifications: ") + std::strerror(errno);
                all = false;
                break;
            }
            device_notifications_[i] = std::move(source);
        }
        UsbDetectionOn = all;
    } catch (...) {
        VLOG_FILE_ERROR(method, "Register device notification failure: exception");
        FailureCause = "USB device notifications: exception";
        UsbDetectionOn = false;
    }

    std::string error;
    auto media = sources_->OpenMediaSource(error);
    if (!media) {
        VLOG_FILE_ERROR(method, "Media hardware detection failure: can't find desktop location (%s)",
                        error.c_str());
        if (FailureCause.empty()) FailureCause = "removable media: " + error;
        MediaDetectionOn = false;
        return;
    }
    if (WatchSource(media)) {
        media_registration_ = std::move(media);
        MediaDetectionOn = true;
    } else {
        VLOG_FILE_ERROR(method,
                        "Media hardware detection failure: can't register window for shell "
                        "notification (%s)",
                        std::strerror(errno));
        if (FailureCause.empty()) FailureCause = std::string("removable media: ") + std::strerror(errno);
        MediaDetectionOn = false;
    }
}

void CVesk_HW_CheckDevice::TerminaGestioneEventiSistema() {
    const char* method = "CVesk_HW_CheckDevice::TerminaGestioneEventiSistema";
    if (media_registration_) {
        if (!window_->Unwatch(media_registration_->Fd()))
            VLOG_FILE_ERROR(method, "Failure in unregistering media detection (%s)",
                            std::strerror(errno));
        media_registration_.reset();
    }
    MediaDetectionOn = false;

    for (auto& handle : device_notifications_) {
        if (handle && !window_->Unwatch(handle->Fd()))
            VLOG_FILE_ERROR(method, "Failure in unregistering USB hardware detection (%s)",
                            std::strerror(errno));
    }
    device_notifications_.clear();
    handle_count_ = 0;
    UsbDetectionOn = false;
}

long CVesk_HW_CheckDevice::OnDeviceChange(uint32_t event, const HwDeviceHeader* header) {
    if (event != vesk::hw::kDeviceArrival && event != vesk::hw::kDeviceRemoveComplete) return 0;
    if (!header || header->device_type != vesk::hw::kDevTypeDeviceInterface) return 0;
    int number = 0;
    if (!UpdateDevice(header->name, number)) return 0;
    if (!dest_) return 0;
    const bool arrived = event == vesk::hw::kDeviceArrival;
    const std::wstring name = header->name;
    switch (number) {
    case 101: dest_->OnDevice0101(arrived, name); break;
    case 110: dest_->OnDevice0110(arrived, name); break;
    case 1001: dest_->OnDevice1001(arrived, name); break;
    case 2001: dest_->OnDevice2001(arrived, name); break;
    case 2002: dest_->OnDevice2002(arrived, name); break;
    default: break;
    }
    return 0;
}

bool CVesk_HW_CheckDevice::UpdateDevice(const wchar_t* name, int& number) {
    const char* method = "CVesk_HW_CheckDevice::UpdateDevice";
    if (!name) {
        VLOG_FILE_ERROR(method, "Wrong param: null pointer passed");
        return false;
    }
    const std::wstring received = name;
    if (received.size() <= 4) {
        VLOG_FILE_ERROR(method, "Device name too short %s", Narrow(received).c_str());
        return false;
    }
    std::wstring s = received.substr(4);
    for (auto& c : s) c = static_cast<wchar_t>(std::towupper(c));
    if (s.rfind(kVeskUsbPattern, 0) != 0) {
        VLOG_FILE_ERROR(method, "Can't find %s in %s", Narrow(kVeskUsbPattern).c_str(),
                        Narrow(received).c_str());
        return false;
    }
    const size_t hash = s.find(L'#', 5);
    if (hash != std::wstring::npos) s.resize(hash);
    // Leading decimal digits after "PID_"; capped so a long run of digits cannot overflow.
    long value = 0;
    for (size_t i = 17; i < s.size() && std::iswdigit(s[i]); ++i) {
        value = value * 10 + (s[i] - L'0');
        if (value > 1000000) break;
    }
    number = static_cast<int>(value);
    return true;
}

long CVesk_HW_CheckDevice::ManageMediaChanged(const wchar_t* item, uint32_t event) {
    const char* method = "CVesk_HW_CheckDevice::ManageMediaChanged";
    if (!item || !*item || std::wcslen(item) >= kMaxPath) {
        VLOG_FILE_ERROR(method, "System Error: impossible to detect file system path %s",
                        item ? Narrow(item).c_str() : "(null)");
        return 0;
    }
    const std::wstring path = item;
    if (event == vesk::hw::kMediaInserted || event == vesk::hw::kDriveAdded) {
        auto list = std::make_unique<CVeskDiskMemoryManager>();
        ExamineMemoryDevice(path, list.get());
        if (dest_) dest_->OnMemoryDevice(true, path, list.get());
    } else if (event == vesk::hw::kMediaRemoved || event == vesk::hw::kDriveRemoved) {
        if (dest_) dest_->OnMemoryDevice(false, path, nullptr);
    } else {
        VLOG_FILE_ERROR(method, "Invalid Memory Hardware - path: %s", Narrow(path).c_str());
    }
    return 0;
}

bool CVesk_HW_CheckDevice::ExamineMemoryDevice(const std::wstring& root,
                                               CVeskDiskMemoryManager* list) {
    if (!list || root.empty() || root.back() != L'/') return false;
    const std::string root_utf8 = Narrow(root);
    struct stat st {};
    struct statvfs vfs {};
    if (::stat(root_utf8.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        ::statvfs(root_utf8.c_str(), &vfs) != 0)
        return false;

    std::vector<uint8_t> bytes;
    const bool has_info = ReadInfoFile(root_utf8 + Narrow(kInfoFileName), bytes);
    if (!has_info && RequireInfoFile) return false;

    auto record = std::make_unique<HW_DISKMEMORY_INFO>();
    record->root = root;
    record->read_only = (vfs.f_flag & ST_RDONLY) != 0;
    if (has_info) record->ParseInfo(std::move(bytes));
    list->Add(std::move(record));
    return true;
}

bool CVesk_HW_CheckDevice::SetDest(IDestMsgHwDetection* dest) {
    if (!dest_) {
        dest_ = dest;
        return true;
    }
    VLOG_FILE_ERROR("CVesk_HW_CheckDevice::SetDest", "Dest already set");
    return false;
}
