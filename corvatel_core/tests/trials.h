// Test-only: trials from the reference vectors' trial descriptions.
#pragma once

#include <string>
#include <vector>

#include "corvatel/params.h"
#include "vectors.h"

namespace corvatel::testing {

// choices as a 0/1 string, rts as bit patterns, optionally timed_out as a 0/1
// string; or runs of [choice, rt bits, count].
inline std::vector<Trial> trials_from_json(const nlohmann::json& t) {
  std::vector<Trial> trials;
  if (t.contains("runs")) {
    for (const auto& run : t["runs"]) {
      const int count = run[2].is_string() ? std::stoi(run[2].get<std::string>()) : run[2].get<int>();
      for (int i = 0; i < count; ++i) trials.push_back({run[0].get<int>() == 1, hex_f64(run[1]), false});
    }
    return trials;
  }
  const std::string choices = t["choices"];
  const std::string timed_out = t.contains("timed_out") ? t["timed_out"].get<std::string>() : "";
  for (std::size_t i = 0; i < choices.size(); ++i) {
    trials.push_back({choices[i] == '1', hex_f64(t["rts"][i]), !timed_out.empty() && timed_out[i] == '1'});
  }
  return trials;
}

}  // namespace corvatel::testing
