// Values and symbols of the script engine.
//
// A Value is what lives on the value stack and in variables: a number, a
// string (possibly absent), an array of numbers or of strings, or, on the
// stack only, a reference to a symbol (pushed before an evaluate or assign).
// Numbers live in the value itself; strings and arrays are shared between
// copies and copied only when a shared array is changed, so copying a value
// is cheap and behaves exactly like a deep copy.
//
// A Symbol is a named cell: a variable, a constant (named or an interned
// literal), a user function or procedure, a built-in, a keyword or, while a
// definition is compiled, one of its locals.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta::psi {

class Engine;
struct Symbol;

// A string value; null stands for an absent string, which reads as empty.
using Text = std::shared_ptr<const std::string>;
using NumberArray = std::vector<double>;
using StringArray = std::vector<Text>;

// The kinds, numbered as type() reports them; SymbolRef exists on the stack
// only.
enum class ValueKind : std::uint8_t {
  Undefined = 0,
  Number = 1,
  String = 2,
  NumberArray = 3,
  StringArray = 4,
  SymbolRef = 5
};

// What the strings and arrays made under one engine's memory limit hold: a
// string its length, an array its element count times the element size.
// They are counted when made or grown and given back when freed, so the
// count is what is alive. The engine owns its account, and none of its
// values outlives it.
class MemoryAccount {
 public:
  void set_limit(std::size_t bytes) { limit_ = bytes; }
  std::size_t limit() const { return limit_; }  // 0: none
  std::size_t held() const { return held_; }
  // Counts `bytes` more; beyond the limit nothing is counted and
  // MemoryLimitReached is thrown.
  void charge(std::size_t bytes);
  void refund(std::size_t bytes) { held_ -= bytes; }

  // While a Scope lives, the strings and arrays made on this thread are
  // counted against `account` (against none when null). The engine opens
  // one for each run: the values are made by free functions that the
  // built-ins of every group call, far from any engine, and the scope keeps
  // the account visible exactly as long as its run.
  class Scope {
   public:
    explicit Scope(MemoryAccount* account);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    MemoryAccount* previous_;
  };

 private:
  std::size_t limit_ = 0;
  std::size_t held_ = 0;
};

// Thrown when a string or array would take an account past its limit.
struct MemoryLimitReached {
  std::size_t limit;
};

Text make_text(std::string s);

// A number truncated toward zero, clamped to the target range (NaN gives 0).
inline std::int64_t to_int64(double d) {
  if (!(d == d)) return 0;
  if (d >= 9.2233720368547758e18) return INT64_MAX;
  if (d <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}
inline int to_int(double d) {
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return 2147483647;
  if (d <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(d);
}

class Value {
 public:
  Value() = default;
  static Value number(double d) {
    Value v;
    v.kind_ = ValueKind::Number;
    v.number_ = d;
    return v;
  }
  static Value string(Text t) {
    Value v;
    v.kind_ = ValueKind::String;
    v.ref_ = std::move(t);
    return v;
  }
  static Value string(std::string s) { return string(make_text(std::move(s))); }
  static Value numbers(NumberArray a);
  static Value strings(StringArray a);
  static Value symbol(Symbol* s) {
    Value v;
    v.kind_ = ValueKind::SymbolRef;
    v.symbol_ = s;
    return v;
  }

  ValueKind kind() const { return kind_; }
  // Changes a number in place (the value must be a number).
  void set_num(double d) { number_ = d; }
  bool is_array() const { return kind_ == ValueKind::NumberArray || kind_ == ValueKind::StringArray; }
  double num() const { return number_; }
  Symbol* sym() const { return symbol_; }
  // The string; absent reads as empty.
  const std::string& str() const;
  // The string shared, null when absent.
  Text text() const;
  bool absent() const { return kind_ == ValueKind::String && !ref_; }
  const NumberArray& nums() const { return *static_cast<const NumberArray*>(ref_.get()); }
  const StringArray& strs() const { return *static_cast<const StringArray*>(ref_.get()); }
  // The arrays for change; a shared array is copied first.
  NumberArray& nums_for_update();
  StringArray& strs_for_update();
  // Element count of an array, 0 otherwise.
  std::size_t count() const;
  // Before an array (already unshared) grows to `count` elements: counts
  // the growth against the account it was made under, if any.
  void charge_growth(std::size_t count);

 private:
  void unshare();

  ValueKind kind_ = ValueKind::Undefined;
  union {
    double number_ = 0;
    Symbol* symbol_;
  };
  std::shared_ptr<const void> ref_;  // the string or array
};

// A built-in: its handler pops its arguments from the engine's stack and, for
// a function, pushes one result. `argc` -1 means any number of arguments.
struct Builtin {
  std::string name;
  int argc = 0;
  bool returns = false;
  std::function<void(Engine&)> handler;
};

enum class SymbolKind : std::uint8_t {
  Variable,  // global variable; its value's kind says which (Undefined if never assigned)
  Constant,  // number or string constant: named or an interned literal
  Function,
  Procedure,
  Builtin,
  Keyword,
  Local,  // parameter or auto local of the definition being compiled
};

struct Symbol {
  std::string name;  // empty for interned literals
  SymbolKind kind = SymbolKind::Variable;
  Value value;                       // Variable, Constant
  int address = 0;                   // Function, Procedure: code address of the first word
  const Builtin* builtin = nullptr;  // Builtin
  int token = 0;                     // Keyword: the parser's token
  int slot = 0;                      // Local: 1.. for parameters, -1.. for auto locals
};

}  // namespace corvanta::psi
