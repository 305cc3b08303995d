// The alert log: a JSON-lines file beside the protection file, appended
// one batch of lines at a time, never read, rotated or truncated. A line
// that cannot be written is dropped silently.
//
// Not thread-safe by itself: the protection service serialises appends with
// its log mutex so that lines reach the file in the order they were made.
#pragma once

#include <string>
#include <vector>

namespace tolvarine::operator_control {

// Appends the lines (each already ends in a line feed) to `path`, in order,
// opening the file in append mode for this batch only.
void append_alert_lines(const std::string& path, const std::vector<std::string>& lines);

}  // namespace tolvarine::operator_control
