// Whole-file replacement that survives crashes and power cuts: the old file
// is either untouched or replaced by the complete new one.
#pragma once

#include <string>
#include <string_view>

namespace tolvarine::operator_control {

// Writes `content` to `path` + ".tmp", flushes it to disk, renames it over
// `path` and flushes the folder. Creates missing parent folders first. On
// failure returns false with a one-sentence reason in *error (when given),
// removes the temporary file and leaves `path` as it was.
[[nodiscard]] bool replace_file(const std::string& path, std::string_view content,
                                std::string* error = nullptr);

// Reads a whole file. Returns false when it cannot be opened or read.
[[nodiscard]] bool read_file(const std::string& path, std::string* content);

}  // namespace tolvarine::operator_control
