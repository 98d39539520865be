#include "shell/psi_procedures.h"

#include "psi/builtins.h"
#include "psi/engine.h"
#include "shell/params.h"
#include "shell/psi_library.h"
#include "shell/service.h"

namespace corvanta {
namespace {

constexpr std::int32_t kScriptNotLoaded = -183;
constexpr int kMaxDepth = 2;

}  // namespace

std::optional<ResultCode> PsiProcedures::run(const dict::AppPoolDef& pool, std::string_view name,
                                             const records::ProcedureArgs& args,
                                             records::RecordHandle& record, std::string& message) {
  const dict::ScriptDef* def = nullptr;
  for (const dict::ScriptDef* s : pool.script_defs) {
    if (s->name == name) def = s;
  }
  if (def == nullptr || def->path.empty() || depth_ >= kMaxDepth) return std::nullopt;

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

  ParamList params;
  params.add("REF", args.reference);
  params.add("USER", args.user);
  params.add("IDN", args.idn);
  params.add("SLOT", "0");
  psi::Engine engine;
  engine.add_group(psi::make_file_group(&service_.configs));
  engine.add_group(make_library_group(service_, LibraryRun{&params, nullptr, &record}));
  engine.set_messages(
      [this](std::string_view group, int code) { return service_.messages.text(group, code); });
  engine.initialise();
  psi::RunIo io;
  io.out = [&message](std::string_view text) { message += text; };
  io.err = io.out;
  ++depth_;
  const int value = engine.run(*script, 'Y', io);
  engine.release();  // writes slot 0 back into the record
  --depth_;
  if (message.size() > records::kMaxProcedureMessage) message.resize(records::kMaxProcedureMessage);
  return ResultCode(value);
}

}  // namespace corvanta
