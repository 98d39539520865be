#include "installation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvanta::testing {
namespace fs = std::filesystem;

Installation::Installation() {
  static int counter = 0;
  root_ =
      ::testing::TempDir() + "corvanta_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
  fs::remove_all(root_);
  fs::copy(CORVANTA_DEMO, root_, fs::copy_options::recursive);
}

Installation::~Installation() {
  fs::remove_all(root_);
}

std::string Installation::read(const std::string& relative) const {
  std::ifstream in(path(relative), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Installation::write(const std::string& relative, const std::string& text) const {
  std::ofstream(path(relative), std::ios::binary) << text;
}

void Installation::take_exchange(const std::string& name, const std::string& as) const {
  std::filesystem::copy_file(std::string(CORVANTA_EXCHANGE) + "/" + name, path("data/" + as),
                             std::filesystem::copy_options::overwrite_existing);
}

void Installation::edit(const std::string& relative, const std::string& from, const std::string& to) const {
  std::string text = read(relative);
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from << " not in " << relative;
  write(relative, text.replace(at, from.size(), to));
}

RunResult Installation::run(const std::string& input, const std::string& options,
                            const std::string& shell_setup) const {
  write("temp/stdin.txt", input);
  const std::string out_path = path("temp/stdout.txt");
  // timeout keeps a service that would not stop from hanging the suite.
  const std::string command = "cd '" + path("work") + "' && " + shell_setup +
                              " timeout 60 '" CORVANTA_BATCH "' " + options + " < ../temp/stdin.txt > '" +
                              out_path + "' 2>&1";
  const int status = std::system(command.c_str());
  RunResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.output = read("temp/stdout.txt");
  return result;
}

int Installation::start(const std::string& input) const {
  write("temp/stdin.txt", input);
  const std::string in_path = path("temp/stdin.txt");
  const std::string out_path = path("temp/started.txt");
  const std::string work = path("work");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || ::chdir(work.c_str()) != 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execl(CORVANTA_BATCH, CORVANTA_BATCH, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

std::vector<DocExample> doc_examples(const std::string& path, const std::string& script_fence,
                                     const std::string& output_fence) {
  std::ifstream in(path);
  std::vector<DocExample> examples;
  std::string line;
  std::string* into = nullptr;
  while (std::getline(in, line)) {
    if (into != nullptr) {
      if (line == "```") {
        into = nullptr;
      } else {
        *into += line + "\n";
      }
    } else if (line == script_fence) {
      examples.emplace_back();
      into = &examples.back().script;
    } else if (line == output_fence && !examples.empty()) {
      into = &examples.back().output;
    }
  }
  return examples;
}

::testing::AssertionResult contains(const std::string& text, std::initializer_list<std::string_view> parts) {
  for (const std::string_view part : parts) {
    if (text.find(part) == std::string::npos)
      return ::testing::AssertionFailure() << "\"" << part << "\" missing from:\n" << text;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult lacks(const std::string& text, std::initializer_list<std::string_view> parts) {
  for (const std::string_view part : parts) {
    if (text.find(part) != std::string::npos)
      return ::testing::AssertionFailure() << "\"" << part << "\" found in:\n" << text;
  }
  return ::testing::AssertionSuccess();
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string local_date(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

}  // namespace corvanta::testing
