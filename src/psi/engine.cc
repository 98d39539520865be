#include "psi/engine.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "psi/builtins.h"
#include "psi/print.h"

namespace corvanta::psi {

int parse(Engine& e);  // the generated parser

namespace {

std::uintptr_t stack_address() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Half the process's stack, at most 4 MB.
std::uintptr_t stack_budget() {
  rlimit limit{};
  std::uintptr_t bytes = 8u << 20;
  if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < bytes) {
    bytes = limit.rlim_cur;
  }
  return bytes / 2;
}

// Steps between two looks at the clock: a step takes a few nanoseconds and
// reading the monotonic clock some tens, so the clock costs well under a
// thousandth of the run, and a limit is noticed within a fraction of a
// millisecond.
constexpr std::uint64_t kClockSteps = 4096;

int sanitize(int requested, int fallback, int max) {
  if (requested < 1) return fallback;
  return requested > max ? max : requested;
}

}  // namespace

Engine::Engine() {
  groups_.push_back(make_core_group());
}

Engine::~Engine() {
  release();
  for (void* block : parser_blocks_) std::free(block);
}

bool Engine::add_group(std::unique_ptr<BuiltinGroup> group) {
  if (static_cast<int>(groups_.size()) >= kMaxGroups) return false;
  groups_.push_back(std::move(group));
  return true;
}

// --- life cycle ---

bool Engine::initialise(Sizes sizes) {
  release();
  try {
    allocate(sizes);
  } catch (const std::bad_alloc&) {
    free_stores();
    return false;
  }
  initialised_ = true;
  return true;
}

void Engine::allocate(Sizes sizes) {
  const Sizes defaults;
  sizes_.stack = sanitize(sizes.stack, defaults.stack, kMaxSizes.stack);
  sizes_.code = sanitize(sizes.code, defaults.code, kMaxSizes.code);
  sizes_.frames = sanitize(sizes.frames, defaults.frames, kMaxSizes.frames);
  stack_.assign(static_cast<std::size_t>(sizes_.stack), Value{});
  stack_size_ = sizes_.stack;
  code_.assign(static_cast<std::size_t>(sizes_.code), Word{});
  lines_.assign(static_cast<std::size_t>(sizes_.code), 0);
  frames_.assign(static_cast<std::size_t>(sizes_.frames), Frame{});
  sp_ = fp_ = pc_ = progp_ = base_ = 0;
  returning_ = false;
  line_ = token_line_ = 1;
  tracing_ = false;

  install_keywords();
  static constexpr std::pair<const char*, double> kConstants[] = {
      {"PI", 3.141592653589793},
      {"E", 2.718281828459045},
      {"GAMMA", 0.5772156649015329},
      {"DEG", 57.29577951308232},
      {"PHI", 1.618033988749895},
      {"UNDEF", 0},
      {"NUM", 1},
      {"STR", 2},
      {"ANUM", 3},
      {"ASTR", 4},
      {"OS", 2},
      {"WINDOWS", 1},
      {"UNIX", 2},
  };
  for (const auto& [name, value] : kConstants) install_constant(name, value);
  for (auto& group : groups_) group->install(*this);
  installed_ = globals_.size();
}

void Engine::restart() {
  if (!initialised_) return;
  for (auto& group : groups_) group->release();
  // A symbol is made only for a name not known yet, so dropping the newer
  // ones leaves every installed name as it was.
  while (globals_.size() > installed_) {
    const Symbol& s = globals_.back();
    if (!s.name.empty()) names_.erase(s.name);
    globals_.pop_back();
  }
  numbers_.clear();
  strings_.clear();
  locals_.clear();
  for (void* block : parser_blocks_) std::free(block);
  parser_blocks_.clear();
  std::fill(stack_.begin(), stack_.begin() + std::min<std::ptrdiff_t>(sp_, stack_size_), Value{});
  sp_ = fp_ = pc_ = progp_ = base_ = 0;
  returning_ = false;
  line_ = token_line_ = 1;
  tracing_ = false;
  in_definition_ = reading_locals_ = reading_formals_ = false;
  slot_counter_ = 0;
  defining_ = nullptr;
  for (auto& group : groups_) group->begin(*this);
}

bool Engine::release() {
  if (!initialised_) return true;
  free_stores();
  for (auto& group : groups_) group->release();
  initialised_ = false;
  return true;
}

void Engine::free_stores() {
  stack_.clear();
  stack_size_ = sp_ = fp_ = progp_ = base_ = 0;
  code_.clear();
  lines_.clear();
  frames_.clear();
  locals_.clear();
  names_.clear();
  numbers_.clear();
  strings_.clear();
  globals_.clear();
  builtins_.clear();
  in_definition_ = reading_locals_ = reading_formals_ = false;
  defining_ = nullptr;
}

void Engine::install(Builtin builtin) {
  builtins_.push_back(std::move(builtin));
  new_global(builtins_.back().name, SymbolKind::Builtin)->builtin = &builtins_.back();
}

void Engine::install_constant(const std::string& name, double value) {
  new_global(name, SymbolKind::Constant)->value = Value::number(value);
}

// --- running ---

int Engine::run(const Script& script, char save_flag, RunIo io) {
  if (!initialised_ && !initialise(sizes_)) return 0;
  script_ = &script;
  io_ = std::move(io);
  save_flag_ = save_flag;
  exit_value_ = 0;
  input_ = script.text;
  input_pos_ = 0;
  pushback_.clear();
  from_text_ = true;
  steps_ = 0;
  if (time_limit_ > 0) {
    deadline_ =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(time_limit_));
  }
  schedule_checkpoint();
  stack_base_ = stack_address();
  stack_budget_ = stack_budget();
  // Without a memory limit nothing is counted.
  const MemoryAccount::Scope counting(memory_.limit() != 0 ? &memory_ : nullptr);
  // Floating-point arithmetic here never traps: division and modulo check
  // for zero and the mathematical functions report through errno, so there
  // is no signal to catch.
  for (;;) {
    try {
      run_items();
      break;
    } catch (const RunEnd&) {
      break;
    } catch (const SetupRequest& request) {
      const Sizes sizes = request.sizes;
      auto keep_input = std::move(input_);
      const auto keep_pos = input_pos_;
      const int keep_line = line_;
      executing_ = false;
      if (!initialise(sizes)) {
        report(ScriptError{err::kNoMemory, {}});
        break;
      }
      input_ = std::move(keep_input);
      input_pos_ = keep_pos;
      line_ = keep_line;
    } catch (const ScriptError& e) {
      report(e);
      recover_after_error();
      // Past its time a run ends, even with more input to come.
      if (from_text_ || e.code == err::kTimeLimit) break;
    } catch (const MemoryLimitReached& e) {
      std::string text = "memory limit of ";
      text += std::to_string(e.limit);
      text += " bytes reached";
      report(ScriptError{err::kNoMemory, std::move(text)});
      recover_after_error();
      break;
    } catch (const std::bad_alloc&) {
      report(ScriptError{err::kNoMemory, {}});
      recover_after_error();
      if (from_text_) break;
    }
  }
  reset_machine();
  script_ = nullptr;
  return exit_value_;
}

int Engine::run_items() {
  for (;;) {
    progp_ = base_;
    item_ready_ = false;
    parse(*this);
    if (!item_ready_) return 0;
    executing_ = true;
    execute(base_);
    executing_ = false;
  }
}

void Engine::recover_after_error() {
  for (void* block : parser_blocks_) std::free(block);
  parser_blocks_.clear();
  if (defining_ != nullptr) {
    // A definition cut short by the error is forgotten.
    defining_->kind = SymbolKind::Variable;
    defining_->value = Value{};
    defining_ = nullptr;
  }
  locals_.clear();
  in_definition_ = reading_locals_ = reading_formals_ = false;
  reset_machine();
  progp_ = base_;
  // The rest of the faulty line is skipped.
  if (!from_text_) {
    int c;
    while ((c = read_char()) != '\n' && c != EOF) {
    }
    if (c == '\n') ++line_;
  }
}

// The stores as between two items: nothing on the stack, no frames.
void Engine::reset_machine() {
  while (sp_ > 0) stack_[static_cast<std::size_t>(--sp_)] = Value{};
  fp_ = 0;
  returning_ = executing_ = false;
}

void Engine::request_setup(Sizes sizes) {
  throw SetupRequest{sizes};
}

__attribute__((always_inline)) inline Value& Engine::local(int slot) {
  const Frame& f = frames_[static_cast<std::size_t>(fp_)];
  int at;
  if (slot > 0) {
    if (slot > f.nargs) raise(err::kArgBeyondCount, f.def->name);
    at = f.argn - (f.nargs - slot);
  } else {
    at = f.argn - slot;
  }
  return stack_[static_cast<std::size_t>(at)];
}

// The operators that the dispatch does itself for two numbers (+ - * and
// the comparisons), as binary() does them.
static inline double simple_op(Op op, double a, double b) {
  switch (op) {
    case Op::Add: return a + b;
    case Op::Sub: return a - b;
    case Op::Mul: return a * b;
    case Op::Lt: return a < b;
    case Op::Le: return a <= b;
    case Op::Gt: return a > b;
    case Op::Ge: return a >= b;
    case Op::Eq: return a == b;
    default: return a != b;
  }
}

__attribute__((always_inline)) inline void Engine::step(const Word& w) {
  auto operand = [this] { return code_[static_cast<std::size_t>(pc_++)]; };
  switch (w.op) {
    case Op::Stop: break;
    case Op::PushConst: push(operand().sym->value); break;
    case Op::PushCount: push(Value::number(operand().n)); break;
    case Op::PushVar: {
      const Symbol* s = operand().sym;
      if (s->kind != SymbolKind::Variable) raise(err::kNotVariable, s->name);
      if (s->value.kind() == ValueKind::Undefined) raise(err::kUndefined, s->name);
      push(s->value);
      break;
    }
    case Op::AssignVar: {
      Symbol* s = operand().sym;
      if (s->kind != SymbolKind::Variable) raise(err::kAssignNonVariable, s->name);
      if (sp_ <= 0) raise(err::kStackUnderflow);
      const Value& v = stack_[static_cast<std::size_t>(sp_ - 1)];
      if (v.kind() == ValueKind::Undefined) raise(err::kUndefined, s->name);
      s->value = v;  // the value stays on the stack as the assignment's value
      break;
    }
    case Op::EvalElemOf: {
      Symbol* s = operand().sym;
      if (s->kind != SymbolKind::Variable) raise(err::kNotVariable, s->name);
      const Value index = pop();
      push(element(s->value, index));
      break;
    }
    case Op::AssignElemOf: {
      Symbol* s = operand().sym;
      if (s->kind != SymbolKind::Variable) raise(err::kAssignNonVariable, s->name);
      Value v = pop();
      const Value index = pop();
      assign_element(s->value, index, v, s->name);
      push(std::move(v));
      break;
    }
    case Op::PushLocal: {
      const Value& v = local(operand().n);
      if (v.kind() == ValueKind::Undefined) raise(err::kUndefined);
      push(v);
      break;
    }
    case Op::PushLocalElem: {
      const int slot = operand().n;
      const Value index = pop();
      push(element(local(slot), index));
      break;
    }
    case Op::AssignLocal: {
      const int slot = operand().n;
      Value v = pop();
      local(slot) = v;
      push(std::move(v));
      break;
    }
    case Op::AssignLocalElem: {
      const int slot = operand().n;
      Value v = pop();
      const Value index = pop();
      assign_element(local(slot), index, v, {});
      push(std::move(v));
      break;
    }
    case Op::Pop: pop(); break;
    case Op::PrintTop: print_top(); break;
    case Op::TypeOf: {
      const Symbol* s = operand().sym;
      push(Value::number(s->kind == SymbolKind::Variable ? static_cast<int>(s->value.kind()) : 0));
      break;
    }
    case Op::DimOf: {
      const Symbol* s = operand().sym;
      push(Value::number(s->kind == SymbolKind::Variable ? static_cast<double>(s->value.count()) : 0));
      break;
    }
    case Op::While: {
      const int at = pc_;
      const int body = code_[static_cast<std::size_t>(at)].n;
      execute(at + 2);
      while (pop_number() != 0) {
        execute(body);
        if (returning_) break;
        execute(at + 2);
      }
      if (!returning_) pc_ = code_[static_cast<std::size_t>(at + 1)].n;
      break;
    }
    case Op::If: {
      const int at = pc_;
      execute(at + 3);
      if (pop_number() != 0) {
        execute(code_[static_cast<std::size_t>(at)].n);
      } else if (const int other = code_[static_cast<std::size_t>(at + 1)].n; other != 0) {
        execute(other);
      }
      if (!returning_) pc_ = code_[static_cast<std::size_t>(at + 2)].n;
      break;
    }
    case Op::Call: {
      Symbol* def = operand().sym;
      const int nargs = operand().n;
      if (def->kind != SymbolKind::Function && def->kind != SymbolKind::Procedure) {
        raise(err::kNotVariable, def->name);
      }
      if (fp_ + 1 >= static_cast<int>(frames_.size())) raise(err::kCallsTooDeep, def->name);
      Frame& f = frames_[static_cast<std::size_t>(++fp_)];
      f = Frame{def, nargs, pc_, sp_ - 1, 0};
      execute(def->address);
      returning_ = false;
      break;
    }
    case Op::LocalFrame: {
      const int n = operand().n;
      for (int i = 0; i < n; ++i) push(Value{});
      frames_[static_cast<std::size_t>(fp_)].nauto += n;
      break;
    }
    case Op::FuncReturn: {
      const Symbol* def = frames_[static_cast<std::size_t>(fp_)].def;
      if (def->kind == SymbolKind::Procedure) raise(err::kReturnValueInProc, def->name);
      Value v = pop();
      do_return();
      push(std::move(v));
      break;
    }
    case Op::ProcReturn: {
      const Symbol* def = frames_[static_cast<std::size_t>(fp_)].def;
      if (def->kind == SymbolKind::Function) raise(err::kNoReturnValue, def->name);
      do_return();
      break;
    }
    case Op::Exit: throw RunEnd{};
    case Op::ExitValue: {
      exit_value_ = to_int(pop_number());
      throw RunEnd{};
    }
    case Op::ConstOp: {
      const Value& constant = operand().sym->value;
      const auto op = static_cast<Op>(w.n);
      if (sp_ >= 1) {
        Value& left = stack_[static_cast<std::size_t>(sp_ - 1)];
        if (left.kind() == ValueKind::Number) {
          left = Value::number(simple_op(op, left.num(), constant.num()));
          break;
        }
      }
      push(constant);
      binary(op);
      break;
    }
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Lt:
    case Op::Le:
    case Op::Gt:
    case Op::Ge:
    case Op::Eq:
    case Op::Ne:
      // Two numbers, the usual case, without the general path of binary().
      if (sp_ >= 2) {
        Value& left = stack_[static_cast<std::size_t>(sp_ - 2)];
        Value& right = stack_[static_cast<std::size_t>(sp_ - 1)];
        if (left.kind() == ValueKind::Number && right.kind() == ValueKind::Number) {
          const double r = simple_op(w.op, left.num(), right.num());
          --sp_;
          left = Value::number(r);
          break;
        }
      }
      binary(w.op);
      break;

    case Op::Div:
    case Op::Mod:
    case Op::Pow:
    case Op::BitOr:
    case Op::BitAnd:
    case Op::And:
    case Op::Or: binary(w.op); break;
    case Op::Negate: push(Value::number(-pop_number())); break;
    case Op::Not: push(Value::number(pop_number() == 0 ? 1 : 0)); break;
    case Op::Builtin: operand().sym->builtin->handler(*this); break;
  }
}

void Engine::execute(int address) {
  if (stack_base_ - stack_address() > stack_budget_) {
    const Symbol* def = frames_[static_cast<std::size_t>(fp_)].def;
    raise(err::kCallsTooDeep, def != nullptr ? def->name : std::string());
  }
  pc_ = address;
  while (!returning_) {
    const Word& w = code_[static_cast<std::size_t>(pc_)];
    if (w.op == Op::Stop) break;
    exec_pc_ = pc_;
    if (--countdown_ == 0) checkpoint();
    ++pc_;
    step(w);
  }
}

// The step and time limits are looked at only now and then, so that a step
// costs one count down for both.
void Engine::checkpoint() {
  steps_ += span_;
  if (step_limit_ != 0 && steps_ > step_limit_) raise(kStepLimit);
  check_time();
  schedule_checkpoint();
}

void Engine::schedule_checkpoint() {
  span_ = step_limit_ != 0 ? step_limit_ + 1 - steps_ : UINT64_MAX;
  if (time_limit_ > 0) span_ = std::min(span_, kClockSteps);
  countdown_ = span_;
}

void Engine::check_clock() {
  // The steady clock is the monotonic one: a changed system time moves
  // no deadline.
  if (std::chrono::steady_clock::now() < deadline_) return;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", time_limit_);
  raise(err::kTimeLimit, seconds);
}

Value Engine::element(const Value& array, const Value& index) {
  if (index.kind() != ValueKind::Number) raise(err::kNumberExpected);
  if (!array.is_array()) raise(err::kNotArray);
  const double i = std::trunc(index.num());
  if (!(i >= 0 && i < static_cast<double>(array.count()))) raise(err::kIndex);
  const auto at = static_cast<std::size_t>(i);
  return array.kind() == ValueKind::NumberArray ? Value::number(array.nums()[at])
                                                : Value::string(array.strs()[at]);
}

void Engine::assign_element(Value& target, const Value& index, Value value, const std::string& name) {
  if (value.is_array()) raise(err::kArrayExpected);
  if (index.kind() != ValueKind::Number) raise(err::kNumberExpected);
  const double i = std::trunc(index.num());
  if (!(i >= 0)) raise(err::kIndex);
  if (i >= static_cast<double>(value_limits_.array_elements)) raise(err::kNoMemory);
  const auto at = static_cast<std::size_t>(i);
  if (!target.is_array()) {
    target = value.kind() == ValueKind::String ? Value::strings({}) : Value::numbers({});
  }
  if (target.kind() == ValueKind::NumberArray) {
    if (value.kind() != ValueKind::Number) raise(err::kStringExpected);
    auto& a = target.nums_for_update();
    if (a.size() <= at) {
      target.charge_growth(at + 1);
      a.resize(at + 1, 0.0);
    }
    a[at] = value.num();
  } else {
    if (value.kind() != ValueKind::String) raise(err::kNumberExpected);
    if (value.absent()) raise(err::kUndefined, name);
    auto& a = target.strs_for_update();
    if (a.size() <= at) {
      target.charge_growth(at + 1);
      a.resize(at + 1);
    }
    a[at] = value.text();
  }
}

void Engine::do_return() {
  const Frame& f = frames_[static_cast<std::size_t>(fp_)];
  for (int n = f.nargs + f.nauto; n > 0; --n) pop();
  pc_ = f.retpc;
  --fp_;
  returning_ = true;
}

// A binary operator: the result replaces the left operand on the stack. When
// the right operand is a string, + joins and the comparisons compare bytewise
// (the left must be a string too); otherwise both must be numbers.
void Engine::binary(Op op) {
  if (sp_ < 2) raise(err::kStackUnderflow);
  Value& left = stack_[static_cast<std::size_t>(sp_ - 2)];
  Value& right = stack_[static_cast<std::size_t>(sp_ - 1)];
  double a;
  double b = 0;
  const bool takes_strings = op == Op::Add || (op >= Op::Gt && op <= Op::Ne);
  if (takes_strings && right.kind() == ValueKind::String) {
    if (left.kind() != ValueKind::String) raise(err::kStringExpected);
    if (op == Op::Add) {
      left = Value::string(left.str() + right.str());
      right = Value{};
      --sp_;
      check_string(left);
      return;
    }
    a = left.str().compare(right.str());
  } else {
    if (left.kind() != ValueKind::Number || right.kind() != ValueKind::Number) raise(err::kNumberExpected);
    a = left.num();
    b = right.num();
  }
  double r = 0;
  switch (op) {
    case Op::Add: r = a + b; break;
    case Op::Sub: r = a - b; break;
    case Op::Mul: r = a * b; break;
    case Op::Div:
      if (b == 0) raise(err::kDivideByZero);
      r = a / b;
      break;
    case Op::Mod:
      if (b == 0) raise(err::kDivideByZero);
      // Whole numbers that doubles hold exactly: the integer remainder is
      // fmod's, without its cost.
      if (a == std::trunc(a) && b == std::trunc(b) && std::fabs(a) < 9.0e15 && std::fabs(b) < 9.0e15) {
        const auto ia = static_cast<std::int64_t>(a);
        const auto ib = static_cast<std::int64_t>(b);
        r = static_cast<double>(ia % ib);
        if (r == 0 && a < 0) r = -0.0;  // fmod keeps the dividend's sign on zero too
      } else {
        r = std::fmod(a, b);
      }
      break;
    case Op::Pow:
      errno = 0;
      r = std::pow(a, b);
      if (errno == EDOM) raise(err::kDomain, "'X ^ Y'");
      if (errno == ERANGE) raise(err::kRange, "'X ^ Y'");
      break;
    case Op::BitOr: r = static_cast<double>(to_int64(a) | to_int64(b)); break;
    case Op::BitAnd: r = static_cast<double>(to_int64(a) & to_int64(b)); break;
    case Op::And: r = (a != 0 && b != 0) ? 1 : 0; break;
    case Op::Or: r = (a != 0 || b != 0) ? 1 : 0; break;
    case Op::Gt: r = a > b; break;
    case Op::Ge: r = a >= b; break;
    case Op::Lt: r = a < b; break;
    case Op::Le: r = a <= b; break;
    case Op::Eq: r = a == b; break;
    case Op::Ne: r = a != b; break;
    default: break;
  }
  right = Value{};
  --sp_;
  left = Value::number(r);
}

void Engine::print_top() {
  write(format_top(pop()));
}

// --- stack and output ---

Value Engine::pop_string() {
  Value v = pop();
  if (v.kind() != ValueKind::String) raise(err::kStringExpected);
  return v;
}

int Engine::pop_int() {
  return to_int(pop_number());
}

void Engine::write(std::string_view text) {
  if (io_.out) {
    io_.out(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

void Engine::write_error(std::string_view text) {
  if (io_.err) {
    io_.err(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

// --- errors ---

void Engine::raise(int code, std::string text) {
  throw ScriptError{code, std::move(text)};
}

std::string Engine::error_line(const std::string& file, int line, int code, const std::string& text) const {
  std::string out = file;
  out += '(';
  out += std::to_string(line);
  out += "/#";
  out += std::to_string(code);
  out += "): ";
  std::string message;
  if (messages_) {
    if (code > 0) message = messages_("PSI", code);
    if (message.empty()) message = messages_("Common", code);
  }
  if (message.empty()) {
    out += "PSI Error ";
    out += std::to_string(code);
    if (!text.empty()) {
      out += " = \"";
      out += text;
      out += '"';
    }
  } else if (const auto at = message.find("%s"); at != std::string::npos) {
    out += message.substr(0, at);
    out += text;
    out += message.substr(at + 2);
  } else {
    out += message;
    if (!text.empty() && code < 0) {  // a service's code: what it concerns
      out += ": ";
      out += text;
    }
  }
  out += '\n';
  return out;
}

void Engine::report(const ScriptError& e) {
  const int line = executing_ ? lines_[static_cast<std::size_t>(exec_pc_)] : token_line_;
  Script::Place place{{}, line};
  if (script_ != nullptr && from_text_) place = script_->locate(line);
  write_error(error_line(place.file, place.line, e.code, e.text));
}

}  // namespace corvanta::psi
