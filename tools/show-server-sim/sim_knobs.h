// The simulator's control knobs: a fixed table of names with defaults and
// one-line descriptions (printed by --help and listed in the README), and
// a value set that holds the current text of every knob.
//
// sim_knobs is a plain value; the server keeps one under its mutex and
// hands out copies.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tolvarine::show_server_sim {

struct knob_info {
  const char* name;
  const char* default_value;
  const char* description;
};

// Every knob, in the order they are documented.
const std::vector<knob_info>& knob_table();

class sim_knobs {
 public:
  sim_knobs();  // every knob at its default

  // False (nothing changed) for an unknown knob name.
  [[nodiscard]] bool set(const std::string& name, const std::string& value);
  const std::string& text(const std::string& name) const;
  bool is(const std::string& name, const std::string& value) const { return text(name) == value; }
  // Decimal value of the knob, or `fallback` when it is not a number.
  long long number(const std::string& name, long long fallback = 0) const;
  // True for "on", "true", "1", "yes".
  bool flag(const std::string& name) const;
  // The comma-separated items of the knob, empty items dropped.
  std::vector<std::string> list(const std::string& name) const;

  const std::map<std::string, std::string>& values() const { return values_; }

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace tolvarine::show_server_sim
