#pragma once
// Replacing a file whole: the new content goes to a temporary file in the
// same folder, is flushed to disk and then renamed over the old file. A
// crash or a failed write leaves the old file as it was.
#include <cstddef>
#include <string>

namespace vesk {

// True when path holds exactly data afterwards. The new file keeps the old
// one's permissions; a new file gets the usual ones (0666 less the umask).
bool write_file_atomically(const std::string& path, const void* data, size_t size);

}  // namespace vesk
