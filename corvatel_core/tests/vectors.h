// Test-only access to the reference vectors: JSON files whose floats are
// written as 16-hex-digit IEEE-754 bit patterns.
#pragma once

#include <bit>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace corvatel::testing {

inline nlohmann::json load_vectors(const std::string& file) {
  const std::string path = std::string(CORVATEL_VECTORS_DIR) + "/" + file;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open reference vectors " + path);
  return nlohmann::json::parse(in);
}

inline std::uint64_t hex_u64(const std::string& s) { return std::stoull(s, nullptr, 16); }
inline std::uint64_t dec_u64(const std::string& s) { return std::stoull(s, nullptr, 10); }
inline double hex_f64(const std::string& s) { return std::bit_cast<double>(hex_u64(s)); }
inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

}  // namespace corvatel::testing
