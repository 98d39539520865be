// The script engine: a stack machine that compiles a script one top-level
// item at a time into its code array and runs each item at once.
//
// Use: add the built-in groups, initialise(), run() a loaded Script, then
// release(). Definitions and variables live until release (or until a
// script calls setup()). Errors are numbered; the built-ins raise them with
// raise(), which ends the item; while the input is the script text the run
// ends too, after the error line has gone to the error output.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "psi/script.h"
#include "psi/value.h"

namespace corvanta::psi {

// Error numbers of the engine and the core and file built-ins.
namespace err {
inline constexpr int kFile = 102, kSyntax = 103, kFloatSignal = 104, kOutsideDefinition = 105,
                     kLongName = 106, kLocalTwice = 107, kBadArgNumber = 108, kOpenString = 109,
                     kLongString = 110, kNoMemory = 111, kDomain = 112, kRange = 113, kDivideByZero = 114,
                     kStackOverflow = 115, kStackUnderflow = 116, kCallsTooDeep = 117,
                     kReturnValueInProc = 118, kNoReturnValue = 119, kArgBeyondCount = 120,
                     kNotVariable = 121, kUndefined = 122, kAssignNonVariable = 123, kScanNumber = 124,
                     kScanLine = 125, kCodeFull = 126, kNumberExpected = 127, kStringExpected = 128,
                     kLongNumber = 129, kArgCount = 130, kNotArray = 131, kIndex = 132, kArrayExpected = 133,
                     kSetupInDefinition = 134, kOpenMode = 135, kDelete = 136, kFieldValue = 137,
                     kRecordSlot = 138, kMkdir = 139, kRegex = 140, kFormat = 141, kNotPermitted = 142,
                     kTimeLimit = 143;
}

struct Sizes {
  int stack = 256;   // value stack entries
  int code = 2000;   // code words
  int frames = 100;  // call frames; at most frames - 1 calls nest
};
// Upper bounds that setup() cuts larger requests to. Calls, while and if
// nest on the process's own stack too: when half of it is used, a further
// call or loop is refused like a call beyond the frame stack (error 117).
inline constexpr Sizes kMaxSizes{1'000'000, 1'000'000, 100'000};
// What one value may hold: elements of an array, bytes of a string. Beyond
// them a value is refused as lack of memory (error 111).
struct ValueLimits {
  std::size_t array_elements = 10'000'000;
  std::size_t string_bytes = 256u << 20;
};

// An error raised while compiling or running.
struct ScriptError {
  int code;
  std::string text;
};

enum class Op : std::uint8_t {
  Stop = 0,
  PushConst,
  PushCount,
  PushLocal,
  PushLocalElem,
  AssignLocal,
  AssignLocalElem,
  Pop,
  PrintTop,
  TypeOf,
  DimOf,
  While,
  If,
  Call,
  LocalFrame,
  FuncReturn,
  ProcReturn,
  Exit,
  ExitValue,
  Add,
  Sub,
  Mul,
  Div,
  Mod,
  Pow,
  BitOr,
  BitAnd,
  Negate,
  Gt,  // Gt .. Ne: the comparisons, in one run
  Ge,
  Lt,
  Le,
  Eq,
  Ne,
  And,
  Or,
  Not,
  Builtin,
  // Global variables, each one instruction with the symbol as operand.
  PushVar,       // push the value
  AssignVar,     // the value on top becomes the variable's (and stays)
  EvalElemOf,    // replace the index on top by the element
  AssignElemOf,  // index, value: the element becomes the value (which stays)
  ConstOp,       // a number constant as right operand of the operator in n
};

// One code word: an instruction, or an operand (a symbol, a count, a slot or
// an address). An instruction word with Op::Stop ends a piece of code.
struct Word {
  Op op = Op::Stop;
  std::int32_t n = 0;
  Symbol* sym = nullptr;
};

class BuiltinGroup {
 public:
  virtual ~BuiltinGroup() = default;
  // Installs the group's built-ins and constants.
  virtual void install(Engine& engine) = 0;
  // Gives back what the group holds (open files, records).
  virtual void release() {}
  // Takes up what a run starts with again after release(), when the engine
  // is restarted instead of initialised anew (restart()).
  virtual void begin(Engine&) {}
};

struct RunIo {
  std::function<void(std::string_view)> out;  // what scripts print; standard output if empty
  std::function<void(std::string_view)> err;  // error lines and traced lines; standard error if empty
  // Asked for a further text when the current one is used up; none ends the input.
  std::function<std::optional<std::string>()> next_text;
};

// Looks a message text up by group ("PSI", "Common") and code; empty if none.
using MessageLookup = std::function<std::string(std::string_view group, int code)>;

class Engine {
 public:
  static constexpr int kMaxGroups = 5;  // the core group and four more

  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Adds a built-in group; false when all group slots are taken.
  bool add_group(std::unique_ptr<BuiltinGroup> group);
  void set_messages(MessageLookup lookup) { messages_ = std::move(lookup); }
  // Bounds the instructions of one run (0 = no bound); reaching it raises
  // error 115's neighbour, kStepLimit. For fuzzing.
  void set_step_limit(std::uint64_t steps) { step_limit_ = steps; }
  void set_value_limits(ValueLimits limits) { value_limits_ = limits; }
  static constexpr int kStepLimit = 199;
  // Bounds the time of one run (0 = no bound); a run past it ends with
  // error 143, its text the seconds. Measured from the start of run().
  // More than a year is cut to a year, so that the deadline stays a time the
  // clock can hold.
  void set_time_limit(double seconds) { time_limit_ = seconds > 0 ? std::min(seconds, 366 * 86400.0) : 0; }
  // Bounds what the strings and arrays of the engine's runs hold together
  // (0 = no bound; see MemoryAccount); a run that would go past it ends with
  // error 111, its text naming the limit. What a run leaves in variables
  // counts until restart() or release() frees it.
  void set_memory_limit(std::size_t bytes) { memory_.set_limit(bytes); }
  std::size_t memory_held() const { return memory_.held(); }
  // The limits above and the step limit are settings: initialise(),
  // restart() and setup() keep them.

  // Allocates the stores (sizes below 1 take the defaults) and installs the
  // keywords, constants and built-ins. Releases a previous initialisation.
  // False when there is no memory for the stores.
  bool initialise(Sizes sizes = {});
  // Runs the script (initialising first if needed); returns the value given
  // to exit, else 0.
  int run(const Script& script, char save_flag, RunIo io = {});
  // Forgets every symbol and releases the groups.
  bool release();
  // Releases the groups only (a run's records written back, its files
  // closed), keeping what is installed for restart().
  void release_groups() {
    for (auto& group : groups_) group->release();
  }
  // Makes an initialised engine as it was right after initialise(), for the
  // next run of the same kind: the groups are released and begun again, and
  // what runs defined (variables, functions, the constants of their texts)
  // is forgotten; the keywords, constants and built-ins stay installed. Far
  // cheaper than initialising again.
  void restart();

  // Formats an error line as the engine prints it ("file(line/#code): text").
  std::string error_line(const std::string& file, int line, int code, const std::string& text) const;

  // --- for built-ins ---
  [[noreturn]] void raise(int code, std::string text = {});
  __attribute__((always_inline)) void push(Value v) {
    if (sp_ >= stack_size_) raise(err::kStackOverflow);
    if (v.kind() == ValueKind::String) check_string(v);
    stack_[static_cast<std::size_t>(sp_++)] = std::move(v);
  }
  Value pop() {
    if (sp_ <= 0) raise(err::kStackUnderflow);
    return std::move(stack_[static_cast<std::size_t>(--sp_)]);
  }
  double pop_number() {
    if (sp_ <= 0) raise(err::kStackUnderflow);
    Value& v = stack_[static_cast<std::size_t>(--sp_)];
    if (v.kind() != ValueKind::Number) {
      v = Value{};
      raise(err::kNumberExpected);
    }
    return v.num();
  }
  Value pop_string();  // a String value (possibly absent)
  // Ends the run with error 143 once its time is up. Cheap, but for a long
  // loop of a built-in, once every few thousand rounds is enough.
  void check_time() {
    if (time_limit_ > 0) check_clock();
  }
  // A number truncated toward zero and clamped to the int range.
  int pop_int();
  void write(std::string_view text);
  void write_error(std::string_view text);
  char save_flag() const { return save_flag_; }
  void set_tracing(bool on) { tracing_ = on; }
  // Input of the script text after the item being run.
  int read_char();
  void unread_char(int c);
  void discard_input();
  void count_input_line() { new_line(); }
  // Re-initialises with new sizes after the current item (setup()).
  [[noreturn]] void request_setup(Sizes sizes);
  // Installs a built-in or a named number constant.
  void install(Builtin builtin);
  void install_constant(const std::string& name, double value);

  // --- for the parser ---
  int lex(Symbol*& sym, int& n);
  void parser_error(const char* message);
  void* parser_alloc(std::size_t bytes);
  void parser_free(void* block);
  int here() const { return progp_; }
  int emit(Op op);
  int emit_sym(Op op, Symbol* sym);
  int emit_n(Op op, int n);
  void emit_operand() { emit_word(Word{}); }
  void patch(int at, int value) { code_[static_cast<std::size_t>(at)].n = value; }
  void emit_call(Symbol* def, int nargs);
  void emit_builtin(Symbol* b, int nargs);
  void item_ready() { item_ready_ = true; }
  void require_definition(const char* what);
  void begin_definition(Symbol* name, SymbolKind kind);
  void end_formals();
  void end_definition(Symbol* name);
  void begin_auto();
  void end_auto() { reading_locals_ = false; }

 private:
  struct Frame {
    Symbol* def = nullptr;
    int nargs = 0;
    int retpc = 0;
    int argn = 0;  // stack index of the last argument
    int nauto = 0;
  };
  struct RunEnd {};
  struct SetupRequest {
    Sizes sizes;
  };

  // Symbols
  Symbol* new_global(std::string name, SymbolKind kind);
  Symbol* lookup_global(std::string_view name) const;
  Symbol* intern_number(double d);
  Symbol* intern_string(std::string s);
  Symbol* lookup_local(std::string_view name) const;
  void install_keywords();
  void install_core();

  // Lexer
  int lex_number(int c, Symbol*& sym);
  int lex_name(int c, Symbol*& sym, int& n);
  int lex_arg(int& n);
  int lex_string(Symbol*& sym);
  int follow(int expect, int yes, int no);
  void skip_comment();
  void new_line();

  // Running
  void emit_word(Word w);
  void check_string(const Value& v) {
    if (v.str().size() > value_limits_.string_bytes) raise(err::kNoMemory);
  }
  void execute(int address);
  void step(const Word& w);
  void checkpoint();
  void schedule_checkpoint();
  void check_clock();
  Value& local(int slot);
  void assign_element(Value& target, const Value& index, Value value, const std::string& name);
  Value element(const Value& array, const Value& index);
  void do_return();
  void binary(Op op);
  void print_top();
  void report(const ScriptError& e);
  void recover_after_error();
  void reset_machine();
  int run_items();
  void allocate(Sizes sizes);
  void free_stores();

  // Declared first so that it goes last, after every value it counts.
  MemoryAccount memory_;

  // Groups
  std::vector<std::unique_ptr<BuiltinGroup>> groups_;
  std::deque<Builtin> builtins_;
  MessageLookup messages_;
  bool initialised_ = false;

  // Stores
  Sizes sizes_;
  std::vector<Value> stack_;
  int stack_size_ = 0;
  int sp_ = 0;
  std::vector<Word> code_;
  std::vector<int> lines_;
  int progp_ = 0;
  int base_ = 0;
  std::vector<Frame> frames_;
  int fp_ = 0;
  int pc_ = 0;
  bool returning_ = false;
  std::uint64_t step_limit_ = 0;
  ValueLimits value_limits_;
  std::uintptr_t stack_base_ = 0;    // address near the bottom of run()'s stack
  std::uintptr_t stack_budget_ = 0;  // bytes nested execution may use
  double time_limit_ = 0;            // seconds
  std::chrono::steady_clock::time_point deadline_;
  std::uint64_t steps_ = 0;      // of this run, up to the last checkpoint()
  std::uint64_t span_ = 0;       // steps from one checkpoint() to the next
  std::uint64_t countdown_ = 0;  // steps left to the next checkpoint()

  // Symbols
  std::deque<Symbol> globals_;
  std::size_t installed_ = 0;  // globals_ made by the installation
  std::unordered_map<std::string, Symbol*> names_;
  std::map<std::uint64_t, Symbol*> numbers_;
  std::unordered_map<std::string, Symbol*> strings_;
  std::deque<Symbol> locals_;

  // Compiler state
  bool in_definition_ = false;
  bool reading_locals_ = false;   // a parameter list or an auto list
  bool reading_formals_ = false;  // a parameter list
  int slot_counter_ = 0;
  Symbol* defining_ = nullptr;
  int definition_start_ = 0;
  bool item_ready_ = false;
  std::vector<void*> parser_blocks_;

  // Input and lines
  const Script* script_ = nullptr;
  std::string input_;
  std::size_t input_pos_ = 0;
  std::vector<int> pushback_;
  bool from_text_ = true;
  int line_ = 1;
  int token_line_ = 1;
  bool tracing_ = false;
  bool executing_ = false;
  int exec_pc_ = 0;  // the instruction being run, for the line of an error

  // Run
  RunIo io_;
  char save_flag_ = 'Y';
  int exit_value_ = 0;
};

}  // namespace corvanta::psi
