#include "shell/line_reader.h"

namespace corvanta {

std::optional<std::string> read_line(std::FILE* in, std::size_t size, bool* too_long) {
  if (too_long != nullptr) *too_long = false;
  std::string line;
  const std::size_t limit = size > 0 ? size - 1 : 0;
  bool any = false;
  bool comment = false;
  int c = 0;
  while (comment || line.size() < limit) {
    c = std::getc(in);
    if (c == EOF) break;
    any = true;
    if (c == '\n') break;
    if (c == 255) continue;
    if (line.empty() && !comment && c == '*') {
      comment = true;
      continue;
    }
    if (!comment) line += static_cast<char>(c);
  }
  if (!any) return std::nullopt;
  if (too_long != nullptr && line.size() >= limit && c != '\n' && c != EOF) {
    // Full: the line ends here only when its newline (or the input) follows.
    const int next = std::getc(in);
    if (next != '\n' && next != EOF) {
      *too_long = true;
      for (int rest = next; rest != '\n' && rest != EOF; rest = std::getc(in)) {
      }
    }
  }
  return line;
}

std::string overlong_line_text(const std::string& line) {
  return line.substr(0, 40) + "...";
}

}  // namespace corvanta
