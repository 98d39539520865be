// Loading a script: the file and its "#include <file>" lines become one text,
// with a map from lines of that text back to files and their own lines.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::psi {

inline constexpr std::size_t kMaxScriptPath = 100;
inline constexpr int kMaxIncludeDepth = 16;

struct Script {
  // Where a run of lines of `text` comes from: text lines from `first_line`
  // on are lines `file_line`, `file_line` + 1, ... of `file`.
  struct Segment {
    int first_line = 1;
    std::string file;
    int file_line = 1;
  };
  std::string text;
  std::vector<Segment> segments;

  struct Place {
    std::string file;
    int line = 0;
  };
  // The file and line of line `line` (1-based) of the text.
  Place locate(int line) const;
};

// Reads `path` into `out`. Returns 0, or 102 when the script or one of its
// includes cannot be read or is no regular file (the file name is passed to
// `report`), an include
// is nested more than kMaxIncludeDepth deep, or a path is longer than
// kMaxScriptPath characters.
int load_script(const std::string& path, Script& out,
                const std::function<void(int code, const std::string& text)>& report);

}  // namespace corvanta::psi
