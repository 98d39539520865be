#include "psi/value.h"

namespace corvanta::psi {

Text make_text(std::string s) {
  return std::make_shared<const std::string>(std::move(s));
}

const std::string& Value::str() const {
  static const std::string empty;
  const auto* s = static_cast<const std::string*>(ref_.get());
  return s != nullptr ? *s : empty;
}

Text Value::text() const {
  return std::static_pointer_cast<const std::string>(ref_);
}

void Value::unshare() {
  if (ref_.use_count() <= 1) return;
  if (kind_ == ValueKind::NumberArray) {
    ref_ = std::make_shared<NumberArray>(nums());
  } else if (kind_ == ValueKind::StringArray) {
    ref_ = std::make_shared<StringArray>(strs());
  }
}

NumberArray& Value::nums_for_update() {
  unshare();
  return *static_cast<NumberArray*>(const_cast<void*>(ref_.get()));
}

StringArray& Value::strs_for_update() {
  unshare();
  return *static_cast<StringArray*>(const_cast<void*>(ref_.get()));
}

std::size_t Value::count() const {
  if (kind_ == ValueKind::NumberArray) return nums().size();
  if (kind_ == ValueKind::StringArray) return strs().size();
  return 0;
}

}  // namespace corvanta::psi
