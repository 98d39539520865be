// A temporary copy of the reference installation for end-to-end runs of the
// service binary: etc/, temp/ and work/ under a fresh directory, removed
// again by the destructor.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::testing {

struct RunResult {
  std::string output;  // standard output and standard error
  int exit_status = -1;
};

// A documented example: a fenced script block and the output block after it.
struct DocExample {
  std::string script;
  std::string output;
};
// The blocks of a documentation page fenced with `script_fence` ("```psi"),
// each with the `output_fence` block that follows it.
std::vector<DocExample> doc_examples(const std::string& path, const std::string& script_fence,
                                     const std::string& output_fence);

// Whether `text` holds every one of `parts` (contains) or none of them
// (lacks); a failure shows the part and the whole text.
::testing::AssertionResult contains(const std::string& text, std::initializer_list<std::string_view> parts);
::testing::AssertionResult lacks(const std::string& text, std::initializer_list<std::string_view> parts);
// How often `what` occurs in `text`, overlapping occurrences counted.
std::size_t count(const std::string& text, const std::string& what);

// Today's local date in a strftime format ("%Y%m%d").
std::string local_date(const char* format);

class Installation {
 public:
  Installation();
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  std::string read(const std::string& relative) const;
  void write(const std::string& relative, const std::string& text) const;
  // Replaces the first `from` in a file of the installation by `to`; a
  // missing `from` fails the test.
  void edit(const std::string& relative, const std::string& from, const std::string& to) const;
  // Copies a file of the test data's exchange files (`name` below it) into
  // data/ of the installation as `as`.
  void take_exchange(const std::string& name, const std::string& as) const;

  // Runs the service in work/ with `input` as its standard input, and
  // `options` (already quoted for the shell) on its command line.
  // `shell_setup` runs in the same shell first (limits, traps).
  RunResult run(const std::string& input, const std::string& options = "",
                const std::string& shell_setup = "") const;
  // Starts the service like run() without waiting for it; its output goes
  // to temp/started.txt. Returns the process id.
  int start(const std::string& input) const;

 private:
  std::string root_;
};

}  // namespace corvanta::testing
