// The core group: output, strings, mathematics, arrays and the engine's own
// controls.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "psi/builtins.h"
#include "psi/print.h"

namespace corvanta::psi {
namespace {

constexpr std::size_t kMaxScanLine = 1023;

// A mathematical function of one argument, with its domain and range errors.
Builtin math(const char* name, double (*fn)(double)) {
  return Builtin{name, 1, true, [name, fn](Engine& e) {
                   const double x = e.pop_number();
                   errno = 0;
                   const double r = fn(x);
                   if (errno == EDOM) e.raise(err::kDomain, name);
                   if (errno == ERANGE) e.raise(err::kRange, name);
                   push_num(e, r);
                 }};
}

double scan_number(Engine& e) {
  int c = e.read_char();
  while (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
    if (c == '\n') e.count_input_line();
    c = e.read_char();
  }
  std::string text;
  auto take = [&] {
    text.push_back(static_cast<char>(c));
    c = e.read_char();
  };
  auto digits = [&] {
    bool any = false;
    while (c >= '0' && c <= '9') {
      take();
      any = true;
    }
    return any;
  };
  if (c == '+' || c == '-') take();
  bool any = digits();
  if (c == '.') {
    take();
    any = digits() || any;
  }
  if (any && (c == 'e' || c == 'E')) {
    take();
    if (c == '+' || c == '-') take();
    digits();
  }
  e.unread_char(c);
  if (!any) e.raise(err::kScanNumber);
  return std::strtod(text.c_str(), nullptr);
}

std::string scan_line(Engine& e) {
  std::string line;
  int c;
  while ((c = e.read_char()) != '\n' && c != EOF) {
    line.push_back(static_cast<char>(c));
    if (line.size() > kMaxScanLine) e.raise(err::kScanLine);
  }
  if (c == '\n') e.count_input_line();
  return line;
}

void sort_indices(Engine& e) {
  const Value a = e.pop();
  if (!a.is_array()) e.raise(err::kArrayExpected);
  NumberArray order(a.count());
  std::vector<std::size_t> idx(a.count());
  std::iota(idx.begin(), idx.end(), std::size_t{0});
  // A sort of millions of elements takes seconds: the time limit is looked
  // at every so many comparisons.
  std::uint32_t comparisons = 0;
  auto timed = [&](auto less) {
    return [&e, &comparisons, less](std::size_t x, std::size_t y) {
      if ((++comparisons & 0xFFFF) == 0) e.check_time();
      return less(x, y);
    };
  };
  if (a.kind() == ValueKind::NumberArray) {
    const auto& v = a.nums();
    // NaN (from inf - inf, say) sorts last, so that the order stays strict.
    auto less = [&](std::size_t x, std::size_t y) {
      return !std::isnan(v[x]) && (std::isnan(v[y]) || v[x] < v[y]);
    };
    std::stable_sort(idx.begin(), idx.end(), timed(less));
  } else {
    const auto& v = a.strs();
    auto text = [&](std::size_t i) -> std::string_view { return v[i] ? std::string_view(*v[i]) : ""; };
    std::stable_sort(idx.begin(), idx.end(),
                     timed([&](std::size_t x, std::size_t y) { return text(x) < text(y); }));
  }
  for (std::size_t i = 0; i < idx.size(); ++i) order[i] = static_cast<double>(idx[i]);
  e.push(Value::numbers(std::move(order)));
}

void index_of(Engine& e) {
  const Value value = e.pop();
  const Value a = e.pop();
  if (!a.is_array()) e.raise(err::kArrayExpected);
  double found = -1;
  if (a.kind() == ValueKind::NumberArray) {
    if (value.kind() != ValueKind::Number) e.raise(err::kNumberExpected);
    const auto& v = a.nums();
    const auto it = std::find(v.begin(), v.end(), value.num());
    if (it != v.end()) found = static_cast<double>(it - v.begin());
  } else {
    if (value.kind() != ValueKind::String) e.raise(err::kStringExpected);
    const auto& v = a.strs();
    for (std::size_t i = 0; i < v.size(); ++i) {
      if ((v[i] ? std::string_view(*v[i]) : "") == value.str()) {
        found = static_cast<double>(i);
        break;
      }
    }
  }
  push_num(e, found);
}

class CoreGroup : public BuiltinGroup {
 public:
  void install(Engine& engine) override {
    for (auto& b : builtins()) engine.install(std::move(b));
  }

 private:
  static std::vector<Builtin> builtins() {
    std::vector<Builtin> list = {
        {"print", -1, false, [](Engine& e) { e.write(printed(pop_arguments(e), false)); }},
        {"printl", -1, false, [](Engine& e) { e.write(printed(pop_arguments(e), true)); }},
        {"printf", 2, false, [](Engine& e) { e.write(printed_f(e)); }},
        {"sprint", -1, true, [](Engine& e) { push_str(e, printed(pop_arguments(e), false)); }},
        {"sprintl", -1, true, [](Engine& e) { push_str(e, printed(pop_arguments(e), true)); }},
        {"sprintf", 2, true, [](Engine& e) { push_str(e, printed_f(e)); }},
        {"scan", 0, true, [](Engine& e) { push_num(e, scan_number(e)); }},
        {"scans", 0, true, [](Engine& e) { push_str(e, scan_line(e)); }},
        {"flush", 0, false, [](Engine& e) { e.discard_input(); }},
        {"strlen", 1, true, [](Engine& e) { push_num(e, static_cast<double>(e.pop_string().str().size())); }},
        {"strcmp", 2, true,
         [](Engine& e) {
           const std::string b = pop_str(e);
           const std::string a = pop_str(e);
           const int c = a.compare(b);
           push_num(e, c < 0 ? -1 : c > 0 ? 1 : 0);
         }},
        {"strcat", 2, true,
         [](Engine& e) {
           const Value b = e.pop_string();
           const Value a = e.pop_string();
           std::string s;
           s.reserve(a.str().size() + b.str().size());
           s += a.str();
           s += b.str();
           push_str(e, std::move(s));
         }},
        {"strsub", 3, true,
         [](Engine& e) {
           const int length = e.pop_int();
           const int start = e.pop_int();
           const Value s = e.pop_string();
           const auto size = static_cast<long>(s.str().size());
           const long from = std::clamp<long>(start, 0, size);
           const long len = std::clamp<long>(length, 0, size - from);
           push_str(e, s.str().substr(static_cast<std::size_t>(from), static_cast<std::size_t>(len)));
         }},
        {"strstr", 2, true,
         [](Engine& e) {
           const std::string t = pop_str(e);
           const std::string s = pop_str(e);
           const auto at = t.empty() ? std::string::npos : s.find(t);
           push_num(e, at == std::string::npos ? -1 : static_cast<double>(at));
         }},
        {"strrpl", 3, true,
         [](Engine& e) {
           const std::string repl = pop_str(e);
           const std::string old = pop_str(e);
           std::string s = pop_str(e);
           if (const auto at = old.empty() ? std::string::npos : s.find(old); at != std::string::npos) {
             s.replace(at, old.size(), repl);
           }
           push_str(e, std::move(s));
         }},
        {"strtod", 1, true, [](Engine& e) { push_num(e, std::strtod(pop_str(e).c_str(), nullptr)); }},
        {"tolower", 1, true,
         [](Engine& e) {
           std::string s = pop_str(e);
           for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
           push_str(e, std::move(s));
         }},
        {"toupper", 1, true,
         [](Engine& e) {
           std::string s = pop_str(e);
           for (char& c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
           push_str(e, std::move(s));
         }},
        {"str", 1, true,
         [](Engine& e) {
           const int byte = e.pop_int() & 0xFF;
           push_str(e, byte == 0 ? std::string() : std::string(1, static_cast<char>(byte)));
         }},
        {"num", 1, true,
         [](Engine& e) {
           const std::string s = pop_str(e);
           push_num(e, s.empty() ? 0 : static_cast<unsigned char>(s[0]));
         }},
        {"abs", 1, true, [](Engine& e) { push_num(e, std::fabs(e.pop_number())); }},
        {"int", 1, true, [](Engine& e) { push_num(e, std::trunc(e.pop_number())); }},
        {"atan2", 2, true,
         [](Engine& e) {
           const double x = e.pop_number();
           const double y = e.pop_number();
           errno = 0;
           const double r = std::atan2(y, x);
           if (errno == EDOM) e.raise(err::kDomain, "atan2");
           push_num(e, r);
         }},
        {"setup", 3, false,
         [](Engine& e) {
           Sizes sizes;
           sizes.frames = e.pop_int();
           sizes.code = e.pop_int();
           sizes.stack = e.pop_int();
           e.request_setup(sizes);
         }},
        {"sort", 1, true, sort_indices},
        {"index", 2, true, index_of},
        {"test", 1, false, [](Engine& e) { e.set_tracing(e.pop_number() != 0); }},
    };
    using Fn = double (*)(double);
    static constexpr std::pair<const char*, Fn> kMath[] = {
        {"acos", [](double x) { return std::acos(x); }}, {"asin", [](double x) { return std::asin(x); }},
        {"atan", [](double x) { return std::atan(x); }}, {"cos", [](double x) { return std::cos(x); }},
        {"sin", [](double x) { return std::sin(x); }},   {"tan", [](double x) { return std::tan(x); }},
        {"cosh", [](double x) { return std::cosh(x); }}, {"sinh", [](double x) { return std::sinh(x); }},
        {"tanh", [](double x) { return std::tanh(x); }}, {"exp", [](double x) { return std::exp(x); }},
        {"log", [](double x) { return std::log(x); }},   {"log10", [](double x) { return std::log10(x); }},
        {"sqrt", [](double x) { return std::sqrt(x); }},
    };
    for (const auto& [name, fn] : kMath) list.push_back(math(name, fn));
    return list;
  }
};

}  // namespace

std::string printed(const std::vector<Value>& args, bool newline) {
  std::string out;
  for (const Value& v : args) append_print(out, v);
  if (newline) out += '\n';
  return out;
}

std::string printed_f(Engine& e) {
  const Value value = e.pop();
  const std::string format = pop_str(e);
  std::string out;
  if (!append_printf(out, format, value)) e.raise(err::kFormat, format);
  return out;
}

std::vector<Value> pop_arguments(Engine& e) {
  const int count = e.pop_int();
  std::vector<Value> args(static_cast<std::size_t>(std::max(count, 0)));
  for (auto it = args.rbegin(); it != args.rend(); ++it) *it = e.pop();
  return args;
}

std::unique_ptr<BuiltinGroup> make_core_group() {
  return std::make_unique<CoreGroup>();
}

}  // namespace corvanta::psi
