#include "shell/line_reader.h"

namespace corvanta {

std::optional<std::string> read_line(std::FILE* in, std::size_t size) {
  std::string line;
  const std::size_t limit = size > 0 ? size - 1 : 0;
  bool any = false;
  bool comment = false;
  int c;
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
  return line;
}

}  // namespace corvanta
