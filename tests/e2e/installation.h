// A temporary copy of the reference installation for end-to-end runs of the
// service binary: etc/, temp/ and work/ under a fresh directory, removed
// again by the destructor.
#pragma once

#include <string>
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
