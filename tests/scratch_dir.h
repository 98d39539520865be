// Scratch directories for tests that work on files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace corvanta::testing
