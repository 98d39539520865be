#include "psi/value.h"

namespace corvanta::psi {
namespace {

// The account of the run on this thread, set by MemoryAccount::Scope only.
thread_local MemoryAccount* t_account = nullptr;

// Deletes a counted string or array and gives its bytes back. It keeps the
// bytes counted for its object, which grow with an array.
struct Counted {
  MemoryAccount* account;
  std::size_t bytes;
  template <class T>
  void operator()(T* p) const {
    account->refund(bytes);
    delete p;
  }
};

// Shares `object`, counted as `bytes` when an account is current. Without
// one it is made as any shared object, at no extra cost.
template <class T>
std::shared_ptr<T> make_counted(std::remove_const_t<T>&& object, std::size_t bytes) {
  MemoryAccount* account = t_account;
  if (account == nullptr) return std::make_shared<T>(std::move(object));
  account->charge(bytes);
  T* p;
  try {
    p = new T(std::move(object));
  } catch (...) {
    account->refund(bytes);
    throw;
  }
  return std::shared_ptr<T>(p, Counted{account, bytes});  // on failure the deleter gives both back
}

}  // namespace

void MemoryAccount::charge(std::size_t bytes) {
  // The limit may have been lowered below what is held already.
  if (limit_ != 0 && (held_ > limit_ || bytes > limit_ - held_)) throw MemoryLimitReached{limit_};
  held_ += bytes;
}

MemoryAccount::Scope::Scope(MemoryAccount* account) : previous_(t_account) {
  t_account = account;
}

MemoryAccount::Scope::~Scope() {
  t_account = previous_;
}

Text make_text(std::string s) {
  const std::size_t bytes = s.size();
  return make_counted<const std::string>(std::move(s), bytes);
}

Value Value::numbers(NumberArray a) {
  Value v;
  v.kind_ = ValueKind::NumberArray;
  const std::size_t bytes = a.size() * sizeof(double);
  v.ref_ = make_counted<NumberArray>(std::move(a), bytes);
  return v;
}

Value Value::strings(StringArray a) {
  Value v;
  v.kind_ = ValueKind::StringArray;
  const std::size_t bytes = a.size() * sizeof(Text);
  v.ref_ = make_counted<StringArray>(std::move(a), bytes);
  return v;
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
    ref_ = numbers(nums()).ref_;
  } else if (kind_ == ValueKind::StringArray) {
    ref_ = strings(strs()).ref_;
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

void Value::charge_growth(std::size_t count) {
  // Outside a counted run the growth is not counted, and not given back
  // either: the deleter gives back what it counted.
  if (t_account == nullptr) return;
  Counted* counted = std::get_deleter<Counted>(ref_);
  const std::size_t now = this->count();
  if (counted == nullptr || count <= now) return;
  const std::size_t bytes = (count - now) * (kind_ == ValueKind::NumberArray ? sizeof(double) : sizeof(Text));
  counted->account->charge(bytes);
  counted->bytes += bytes;
}

}  // namespace corvanta::psi
