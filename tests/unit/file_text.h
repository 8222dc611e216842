// Reading a whole file in the unit tests.
#pragma once
#include <fstream>
#include <sstream>
#include <string>

namespace test_files {

// The file's bytes; empty when it cannot be read.
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace test_files
