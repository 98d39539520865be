// The script interpreter beside gawk and Lua 5.4 on the same three programs:
// a recursive Fibonacci of 25, a loop of 1,000,000 iterations with
// arithmetic, and a 100,000-element string array built with strcat. The
// script engine runs in process; gawk and lua5.4 run as child processes
// (their start-up, about a millisecond, is included), so all figures are wall
// time. A missing interpreter is reported as skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "psi/engine.h"
#include "psi/script.h"

extern char** environ;

namespace {

struct Program {
  const char* psi;
  const char* awk;
  const char* lua;
};

const Program kFib{
    "func fib(n) {\n  if (n < 2) return n\n  return fib(n - 1) + fib(n - 2)\n}\nx = fib(25)\n",
    "function fib(n) {\n  if (n < 2) return n\n  return fib(n - 1) + fib(n - 2)\n}\nBEGIN { x = fib(25) }\n",
    "function fib(n)\n  if n < 2 then return n end\n  return fib(n - 1) + fib(n - 2)\nend\nx = fib(25)\n"};

const Program kLoop{"i = 0\ns = 0\nwhile (i < 1000000) {\n  s = s + i * 2 % 7\n  i = i + 1\n}\n",
                    "BEGIN {\n  i = 0; s = 0\n  while (i < 1000000) { s = s + i * 2 % 7; i = i + 1 }\n}\n",
                    "i = 0\ns = 0\nwhile i < 1000000 do\n  s = s + i * 2 % 7\n  i = i + 1\nend\n"};

const Program kStrings{"i = 0\nwhile (i < 100000) {\n  a[i] = strcat(\"item\", sprint(i))\n  i = i + 1\n}\n",
                       "BEGIN {\n  i = 0\n  while (i < 100000) { a[i] = \"item\" i; i = i + 1 }\n}\n",
                       "a = {}\ni = 0\nwhile i < 100000 do\n  a[i] = \"item\" .. i\n  i = i + 1\nend\n"};

void run_psi(benchmark::State& state, const Program& program) {
  corvanta::psi::Script script;
  script.text = program.psi;
  corvanta::psi::RunIo io;
  io.out = [](std::string_view) {};
  std::string errors;
  io.err = [&errors](std::string_view s) { errors += s; };
  for (auto _ : state) {
    corvanta::psi::Engine engine;
    engine.initialise();
    engine.run(script, 'Y', io);
    engine.release();
  }
  if (!errors.empty()) state.SkipWithError(errors.c_str());
}

// Runs `interpreter` on the program text once per iteration.
void run_external(benchmark::State& state, const char* interpreter, const char* flag, const char* text) {
  const std::string path = "/tmp/corvanta_psi_bench_" + std::to_string(::getpid());
  if (std::FILE* f = std::fopen(path.c_str(), "w")) {
    std::fputs(text, f);
    std::fclose(f);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {interpreter};
  if (flag[0] != '\0') args.emplace_back(flag);
  args.push_back(path);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, interpreter, &actions, nullptr, argv.data(), environ) != 0 ||
        ::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError((std::string(interpreter) + " is not available").c_str());
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  std::remove(path.c_str());
}

void BM_Fib25_Psi(benchmark::State& s) {
  run_psi(s, kFib);
}
void BM_Fib25_Gawk(benchmark::State& s) {
  run_external(s, "gawk", "-f", kFib.awk);
}
void BM_Fib25_Lua(benchmark::State& s) {
  run_external(s, "lua5.4", "", kFib.lua);
}
void BM_Loop1M_Psi(benchmark::State& s) {
  run_psi(s, kLoop);
}
void BM_Loop1M_Gawk(benchmark::State& s) {
  run_external(s, "gawk", "-f", kLoop.awk);
}
void BM_Loop1M_Lua(benchmark::State& s) {
  run_external(s, "lua5.4", "", kLoop.lua);
}
void BM_StringArray100k_Psi(benchmark::State& s) {
  run_psi(s, kStrings);
}
void BM_StringArray100k_Gawk(benchmark::State& s) {
  run_external(s, "gawk", "-f", kStrings.awk);
}
void BM_StringArray100k_Lua(benchmark::State& s) {
  run_external(s, "lua5.4", "", kStrings.lua);
}

BENCHMARK(BM_Fib25_Psi)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fib25_Gawk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fib25_Lua)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Loop1M_Psi)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Loop1M_Gawk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Loop1M_Lua)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StringArray100k_Psi)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StringArray100k_Gawk)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StringArray100k_Lua)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
