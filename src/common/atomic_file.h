#pragma once
// Every file the program writes goes through here: the new content goes to a
// temporary file in the target's folder, is flushed to disk and renamed over
// the target only when complete. A crash or a failed write leaves the old
// file as it was; an existing file is never truncated or unlinked; only a
// regular file is ever replaced.
#include <cstddef>
#include <string>

namespace vesk {

// Who chose the target's name. A name the user gave may be a link to a
// regular file: that file is replaced and the link stays. A name of the
// program's own choosing is never followed: a link there is refused.
enum class FileTarget { UserNamed, OwnName };

class AtomicFileWriter {
public:
    AtomicFileWriter() = default;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    // An uncommitted temporary file is removed; the target is left alone.
    ~AtomicFileWriter();

    // Checks the target and creates the temporary file beside it.
    bool Open(const std::string& path, FileTarget target);
    bool Write(const void* data, size_t size);
    // Flushes and renames over the target; false leaves the target as it was.
    bool Commit();
    // Why the last step failed, naming the file.
    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& why);
    void Discard();

    int fd_ = -1;
    std::string target_, temp_, folder_, error_;
};

// One-shot form. True when path holds exactly data afterwards. The new file
// keeps the old one's permissions; a new file gets the usual ones (0666 less
// the umask).
bool write_file_atomically(const std::string& path, const void* data, size_t size,
                           FileTarget target = FileTarget::UserNamed, std::string* why = nullptr);

}  // namespace vesk
