#include "shell/support.h"

#include "shell/service.h"

namespace corvanta {

void bat_add_row(Service&, std::string_view text, BatchResult& result) {
  add_text_row(result, text);
}

}  // namespace corvanta
