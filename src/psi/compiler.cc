// The lexer and the compile actions of the engine: tokens, name lookup across
// the local and global symbols, and what the grammar's rules emit.
#include <bit>
#include <cctype>
#include <cstdlib>
#include <limits>

#include "psi/engine.h"
#include "psi/grammar.h"

namespace corvanta::psi {
namespace {

constexpr std::size_t kMaxLiteral = 1023;  // names, numbers and strings stay below 1024
constexpr std::size_t kMaxPushback = 40;

bool is_letter(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

}  // namespace

// --- input ---

int Engine::read_char() {
  if (!pushback_.empty()) {
    const int c = pushback_.back();
    pushback_.pop_back();
    return c;
  }
  while (input_pos_ >= input_.size()) {
    if (!io_.next_text) return EOF;
    auto more = io_.next_text();
    if (!more) return EOF;
    input_ = std::move(*more);
    input_pos_ = 0;
    from_text_ = false;
  }
  return static_cast<unsigned char>(input_[input_pos_++]);
}

void Engine::unread_char(int c) {
  if (c == EOF || pushback_.size() >= kMaxPushback) return;
  pushback_.push_back(c);
}

// Skips a comment's text up to its newline, which is still a token.
void Engine::skip_comment() {
  if (pushback_.empty()) {
    const std::size_t end = input_.find('\n', input_pos_);
    if (end != std::string::npos) {
      input_pos_ = end;
      return;
    }
  }
  int c;
  while ((c = read_char()) != '\n' && c != EOF) {
  }
  unread_char(c);
}

void Engine::discard_input() {
  pushback_.clear();
  input_pos_ = input_.size();
}

void Engine::new_line() {
  ++line_;
  if (tracing_) write_error(std::to_string(line_) + "     ");
}

// --- tokens ---

int Engine::lex(Symbol*& sym, int& n) {
  for (;;) {
    int c = read_char();
    while (c == ' ' || c == '\t') c = read_char();
    token_line_ = line_;
    if (c == '\\') {
      const int next = read_char();
      if (next == '\n') {
        new_line();
        continue;
      }
      unread_char(next);
      return '\\';
    }
    if (c == '/') {
      const int next = read_char();
      if (next != '/') {
        unread_char(next);
        return '/';
      }
      skip_comment();
      continue;
    }
    if (c == EOF) return 0;
    if (is_digit(c) || c == '.') return lex_number(c, sym);
    if (is_letter(c)) return lex_name(c, sym, n);
    if (c == '$') return lex_arg(n);
    if (c == '"') return lex_string(sym);
    switch (c) {
      case '<': return follow('=', TOK_LE, TOK_LT);
      case '>': return follow('=', TOK_GE, TOK_GT);
      case '=': return follow('=', TOK_EQ, '=');
      case '!': return follow('=', TOK_NE, TOK_NOT);
      case '&': return follow('&', TOK_AND, '&');
      case '|': return follow('|', TOK_OR, '|');
      case '\n': new_line(); return '\n';
      default: return c;
    }
  }
}

int Engine::follow(int expect, int yes, int no) {
  const int c = read_char();
  if (c == expect) return yes;
  unread_char(c);
  return no;
}

int Engine::lex_number(int c, Symbol*& sym) {
  std::string text;
  auto take = [&] {
    text.push_back(static_cast<char>(c));
    if (text.size() > kMaxLiteral) raise(err::kLongNumber);
    c = read_char();
  };
  while (is_digit(c)) take();
  if (c == '.') {
    take();
    while (is_digit(c)) take();
  }
  if (c == 'e' || c == 'E') {
    take();
    if (c == '+' || c == '-') take();
    while (is_digit(c)) take();
  }
  unread_char(c);
  sym = intern_number(std::strtod(text.c_str(), nullptr));
  return TOK_NUMBER;
}

int Engine::lex_name(int c, Symbol*& sym, int& n) {
  std::string name;
  while (is_letter(c) || is_digit(c)) {
    name.push_back(static_cast<char>(c));
    if (name.size() > kMaxLiteral) raise(err::kLongName, name);
    c = read_char();
  }
  unread_char(c);
  if (name == "quit") throw RunEnd{};

  if (reading_locals_) {
    if (lookup_local(name) != nullptr) raise(err::kLocalTwice, name);
    Symbol& local = locals_.emplace_back();
    local.name = std::move(name);
    local.kind = SymbolKind::Local;
    local.slot = reading_formals_ ? ++slot_counter_ : -++slot_counter_;
    sym = &local;
    return TOK_LOCALDEF;
  }
  if (const Symbol* local = lookup_local(name)) {
    n = local->slot;
    return TOK_ARG;
  }
  Symbol* s = lookup_global(name);
  if (s == nullptr) s = new_global(std::move(name), SymbolKind::Variable);
  sym = s;
  switch (s->kind) {
    case SymbolKind::Variable: return TOK_VAR;
    case SymbolKind::Constant: return s->value.kind() == ValueKind::Number ? TOK_NUMBER : TOK_STRING;
    case SymbolKind::Function: return TOK_FUNCTION;
    case SymbolKind::Procedure: return TOK_PROCEDURE;
    case SymbolKind::Builtin: return s->builtin->returns ? TOK_BLTIN : TOK_BLTINPROC;
    case SymbolKind::Keyword: return s->token;
    case SymbolKind::Local: break;
  }
  return TOK_VAR;
}

int Engine::lex_arg(int& n) {
  int c = read_char();
  if (!is_digit(c)) {
    unread_char(c);
    raise(err::kBadArgNumber);
  }
  long value = 0;
  while (is_digit(c)) {
    if (value < std::numeric_limits<int>::max() / 10) value = value * 10 + (c - '0');
    c = read_char();
  }
  unread_char(c);
  if (value == 0) raise(err::kBadArgNumber);
  if (!in_definition_) raise(err::kOutsideDefinition, "$");
  n = static_cast<int>(value);
  return TOK_ARG;
}

int Engine::lex_string(Symbol*& sym) {
  std::string text;
  for (;;) {
    int c = read_char();
    if (c == '"') break;
    if (c == '\n' || c == EOF) {
      unread_char(c);
      raise(err::kOpenString);
    }
    if (c == '\\') {
      c = read_char();
      switch (c) {
        case '\n': new_line(); continue;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case EOF: raise(err::kOpenString);
        default:
          if (c >= '0' && c <= '7') {
            int value = 0;
            for (int digits = 0; digits < 3 && c >= '0' && c <= '7'; ++digits) {
              value = value * 8 + (c - '0');
              c = read_char();
            }
            unread_char(c);
            c = value & 0xFF;
          }
      }
    }
    text.push_back(static_cast<char>(c));
    if (text.size() > kMaxLiteral) raise(err::kLongString, text);
  }
  // Strings end at their first zero byte.
  if (const auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
  sym = intern_string(std::move(text));
  return TOK_STRING;
}

void Engine::parser_error(const char* message) {
  const std::string_view text(message);
  raise(err::kSyntax, text.starts_with("memory exhausted") ? "parser stack overflow" : "syntax error");
}

void* Engine::parser_alloc(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block != nullptr) parser_blocks_.push_back(block);
  return block;
}

void Engine::parser_free(void* block) {
  std::erase(parser_blocks_, block);
  std::free(block);
}

// --- symbols ---

Symbol* Engine::new_global(std::string name, SymbolKind kind) {
  Symbol& s = globals_.emplace_back();
  s.name = std::move(name);
  s.kind = kind;
  if (!s.name.empty()) names_[s.name] = &s;
  return &s;
}

Symbol* Engine::lookup_global(std::string_view name) const {
  const auto it = names_.find(std::string(name));
  return it == names_.end() ? nullptr : it->second;
}

Symbol* Engine::lookup_local(std::string_view name) const {
  for (const auto& s : locals_) {
    if (s.name == name) return const_cast<Symbol*>(&s);
  }
  return nullptr;
}

Symbol* Engine::intern_number(double d) {
  auto& slot = numbers_[std::bit_cast<std::uint64_t>(d)];
  if (slot == nullptr) {
    slot = new_global({}, SymbolKind::Constant);
    slot->value = Value::number(d);
  }
  return slot;
}

Symbol* Engine::intern_string(std::string s) {
  auto it = strings_.find(s);
  if (it != strings_.end()) return it->second;
  Symbol* sym = new_global({}, SymbolKind::Constant);
  sym->value = Value::string(s);
  strings_.emplace(std::move(s), sym);
  return sym;
}

void Engine::install_keywords() {
  static constexpr std::pair<const char*, int> kKeywords[] = {
      {"if", TOK_IF},     {"else", TOK_ELSE}, {"while", TOK_WHILE}, {"return", TOK_RETURN},
      {"auto", TOK_AUTO}, {"exit", TOK_EXIT}, {"proc", TOK_PROC},   {"func", TOK_FUNC},
      {"type", TOK_TYPE}, {"dim", TOK_DIM},
  };
  for (const auto& [name, token] : kKeywords) new_global(name, SymbolKind::Keyword)->token = token;
}

// --- compile actions ---

void Engine::emit_word(Word w) {
  if (progp_ >= static_cast<int>(code_.size())) raise(err::kCodeFull);
  const auto at = static_cast<std::size_t>(progp_++);
  code_[at] = w;
  lines_[at] = token_line_;
}

int Engine::emit(Op op) {
  // A simple operator right after a number constant (its right operand)
  // becomes one instruction with the constant.
  const bool simple = op == Op::Add || op == Op::Sub || op == Op::Mul || (op >= Op::Gt && op <= Op::Ne);
  if (simple && progp_ >= 2) {
    Word& push = code_[static_cast<std::size_t>(progp_ - 2)];
    const Word& constant = code_[static_cast<std::size_t>(progp_ - 1)];
    if (push.op == Op::PushConst && constant.sym != nullptr &&
        constant.sym->value.kind() == ValueKind::Number) {
      push = Word{Op::ConstOp, static_cast<std::int32_t>(op), nullptr};
      return progp_ - 2;
    }
  }
  const int at = progp_;
  emit_word(Word{op, 0, nullptr});
  return at;
}

int Engine::emit_sym(Op op, Symbol* sym) {
  const int at = emit(op);
  emit_word(Word{Op::Stop, 0, sym});
  return at;
}

int Engine::emit_n(Op op, int n) {
  const int at = emit(op);
  emit_word(Word{Op::Stop, n, nullptr});
  return at;
}

void Engine::emit_call(Symbol* def, int nargs) {
  emit(Op::Call);
  emit_word(Word{Op::Stop, 0, def});
  emit_word(Word{Op::Stop, nargs, nullptr});
}

void Engine::emit_builtin(Symbol* b, int nargs) {
  const Builtin& builtin = *b->builtin;
  if (builtin.name == "setup" && in_definition_) raise(err::kSetupInDefinition, builtin.name);
  if (builtin.argc >= 0 && builtin.argc != nargs) raise(err::kArgCount, builtin.name);
  if (builtin.argc < 0) emit_n(Op::PushCount, nargs);
  emit_sym(Op::Builtin, b);
}

void Engine::require_definition(const char* what) {
  if (!in_definition_) raise(err::kOutsideDefinition, what);
}

void Engine::begin_definition(Symbol* name, SymbolKind kind) {
  name->kind = kind;
  name->value = Value{};
  defining_ = name;
  definition_start_ = progp_;
  name->address = progp_;
  emit_n(Op::LocalFrame, 0);
  slot_counter_ = 0;
  in_definition_ = true;
  reading_locals_ = true;
  reading_formals_ = true;
}

void Engine::end_formals() {
  reading_locals_ = false;
  reading_formals_ = false;
  slot_counter_ = 0;
}

void Engine::begin_auto() {
  require_definition("auto");
  reading_locals_ = true;
}

void Engine::end_definition(Symbol* name) {
  emit(Op::ProcReturn);
  int autos = 0;
  for (const auto& local : locals_) autos += local.slot < 0 ? 1 : 0;
  patch(definition_start_ + 1, autos);
  name->address = definition_start_;
  locals_.clear();
  base_ = progp_;
  in_definition_ = false;
  defining_ = nullptr;
}

}  // namespace corvanta::psi
