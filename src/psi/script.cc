#include "psi/script.h"

#include <cstdio>
#include <memory>

#include "util/posix_io.h"

namespace corvanta::psi {
namespace {

constexpr int kNotReadable = 102;

struct Loader {
  Script& out;
  const std::function<void(int, const std::string&)>& report;
  int text_lines = 0;  // lines appended to the text so far

  void begin_segment(const std::string& file, int file_line) {
    auto& segs = out.segments;
    Script::Segment seg{text_lines + 1, file, file_line};
    if (!segs.empty() && segs.back().first_line == seg.first_line) {
      segs.back() = seg;  // the previous segment got no line
    } else {
      segs.push_back(seg);
    }
  }

  int load(const std::string& path, int depth) {
    if (path.size() > kMaxScriptPath || depth > kMaxIncludeDepth) {
      report(kNotReadable, path);
      return kNotReadable;
    }
    // Only regular files: a directory, a device or a FIFO is no script.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(open_regular_file(path), std::fclose);
    if (!in) {
      report(kNotReadable, path);
      return kNotReadable;
    }
    begin_segment(path, 1);
    int file_line = 0;
    std::string line;
    for (;;) {
      line.clear();
      int c;
      while ((c = std::fgetc(in.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
      if (c == EOF && line.empty()) break;
      if (!line.empty() && line.back() == '\r') line.pop_back();  // a line ending CR LF
      ++file_line;
      if (line.starts_with("#include")) {
        const auto open = line.find('<');
        const auto close = line.find('>', open == std::string::npos ? 0 : open);
        if (open != std::string::npos && close != std::string::npos) {
          if (const int rc = load(line.substr(open + 1, close - open - 1), depth + 1); rc != 0) return rc;
        }
        begin_segment(path, file_line + 1);
        continue;
      }
      // Every line ends with a newline, the file's last one included, so
      // that its last statement is complete.
      out.text += line;
      out.text += '\n';
      ++text_lines;
      if (c == EOF) break;
    }
    return 0;
  }
};

}  // namespace

Script::Place Script::locate(int line) const {
  const Segment* found = nullptr;
  for (const auto& seg : segments) {
    if (seg.first_line > line) break;
    found = &seg;
  }
  if (found == nullptr) return {{}, line};
  return {found->file, found->file_line + (line - found->first_line)};
}

int load_script(const std::string& path, Script& out,
                const std::function<void(int code, const std::string& text)>& report) {
  out = Script{};
  Loader loader{out, report};
  return loader.load(path, 0);
}

}  // namespace corvanta::psi
