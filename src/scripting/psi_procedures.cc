#include "scripting/psi_procedures.h"

#include "psi/engine.h"
#include "scripting/psi_library.h"
#include "shell/params.h"
#include "shell/service.h"

namespace corvanta {
namespace {

constexpr std::int32_t kProcedureFailed = -184;  // a script error, or procedures nested too deep
constexpr int kMaxDepth = 2;

}  // namespace

std::optional<ResultCode> PsiProcedures::run(const dict::AppPoolDef& pool, std::string_view name,
                                             const records::ProcedureArgs& args,
                                             records::RecordHandle& record, std::string& message) {
  const dict::ScriptDef* def = nullptr;
  for (const dict::ScriptDef* s : pool.script_defs) {
    if (s->name == name) def = s;
  }
  if (def == nullptr || def->path.empty()) return std::nullopt;
  if (depth_ >= kMaxDepth) {
    // A procedure storing records whose procedures store records: refused
    // rather than stored without its procedure.
    message += "PROC " + std::string(name) + " zu tief geschachtelt";
    return ResultCode(kProcedureFailed);
  }

  auto& script = scripts_[def->path];
  if (script == nullptr) {
    auto loaded = std::make_unique<psi::Script>();
    std::string why;
    if (psi::load_script(def->path, *loaded, [&](int, const std::string& text) { why = text; }) != 0) {
      scripts_.erase(def->path);
      message += "SCRIPT " + def->path + " " + why;
      return ResultCode(kScriptNotLoaded);
    }
    script = std::move(loaded);
  }

  // One prepared engine per script and nesting depth, restarted for each
  // run: installing the built-ins anew would cost more than most runs.
  std::unique_ptr<Prepared>& prepared = prepared_[{def->path, depth_}];
  const bool fresh = prepared == nullptr;
  if (fresh) prepared = std::make_unique<Prepared>();
  Prepared& p = *prepared;
  p.params = ParamList();
  p.params.add("REF", args.reference);
  p.params.add("USER", args.user);
  p.params.add("IDN", args.idn);
  p.params.add("SLOT", "0");
  p.run = LibraryRun{&p.params, nullptr, &record};
  psi::Engine& engine = p.engine;
  if (fresh) {
    prepare_library_engine(service_, engine, make_library_group(service_, &p.run));
  } else {
    engine.restart();
  }
  psi::RunIo io;
  bool script_error = false;
  io.out = [&message](std::string_view text) { message += text; };
  io.err = [&message, &script_error](std::string_view text) {
    message += text;
    script_error = true;
  };
  // The caller's current pool and file stay its own.
  const dict::AppPoolDef* current_pool = service_.pools.pool();
  const dict::AppFileDef* current_file = service_.pools.file();
  ++depth_;
  bound_by_user(service_, engine);
  const int value = engine.run(*script, 'Y', io);
  engine.release_groups();  // writes slot 0 back into the record
  p.run = LibraryRun{};
  --depth_;
  service_.pools.clear();
  if (current_pool != nullptr) {
    (void)service_.pools.make_current(current_pool->name);
    service_.pools.set_file(current_file);
  }
  if (message.size() > records::kMaxProcedureMessage) message.resize(records::kMaxProcedureMessage);
  // A script that ended on an error did not complete the record.
  return ResultCode(script_error && value >= 0 ? kProcedureFailed : value);
}

std::unique_ptr<records::ProcedureRunner> make_pool_procedures(Service& service) {
  return std::make_unique<PsiProcedures>(service);
}

}  // namespace corvanta
