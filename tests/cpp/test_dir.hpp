// A scratch directory of the running test, made empty: named by the file's prefix, the process
// id and the test's name, so that tests run at once by ctest never share one.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

inline std::filesystem::path fresh_test_dir(std::string_view prefix) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      (std::string(prefix) + std::to_string(::getpid()) + "." +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}
