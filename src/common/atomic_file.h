// Whole-file replacement that survives crashes and power cuts: the old file
// is either untouched or replaced by the complete new one.
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>

namespace tolvarine::operator_control {

// Flushes a descriptor to disk; 0 on success, as fsync. Tests pass one that
// fails to show what a full or failing disk does.
using sync_fn = int (*)(int fd);

// Writes `content` to `path` + ".tmp", flushes it to disk, renames it over
// `path` and flushes the folder. Creates missing parent folders first. True
// only when every step, the folder's open and flush included, worked. On
// failure returns false with a one-sentence reason in *error (when given)
// and removes the temporary file; a failure before the rename leaves `path`
// as it was, a failed folder flush after it may leave either content.
[[nodiscard]] bool replace_file(const std::string& path, std::string_view content,
                                std::string* error = nullptr, sync_fn file_sync = ::fsync,
                                sync_fn folder_sync = ::fsync);

// Reads a whole file. Returns false when it cannot be opened or read.
[[nodiscard]] bool read_file(const std::string& path, std::string* content);

}  // namespace tolvarine::operator_control
