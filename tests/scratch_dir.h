// Scratch directories and file contents for tests that work on files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace corvanta::testing {

// Makes a fresh, empty directory "<temp>/<prefix>_<pid>" and returns its
// path; the fixture removes it again in TearDown.
inline std::string make_scratch_dir(std::string_view prefix) {
  const std::string dir = ::testing::TempDir() + std::string(prefix) + "_" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The whole content of a file, byte for byte; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace corvanta::testing
