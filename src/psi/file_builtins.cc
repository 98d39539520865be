// The file group: text files in ten slots, directories, dates, the main
// configuration and shell commands.
#include <dirent.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "config/config_file.h"
#include "psi/builtins.h"
#include "util/date.h"
#include "util/posix_io.h"

namespace corvanta::psi {
namespace {

constexpr int kSlots = 10;
constexpr std::size_t kMaxFileName = 101;
constexpr std::size_t kMaxLine = 1023;
constexpr std::size_t kMaxDirEntries = 500;
constexpr int kRegexEntries = 5;

class FileGroup : public BuiltinGroup {
 public:
  FileGroup(config::ConfigTable* configs, std::string main_path, std::shared_ptr<SystemRules> rules)
      : configs_(configs), main_path_(std::move(main_path)), rules_(std::move(rules)) {}
  ~FileGroup() override { release(); }

  void install(Engine& engine) override {
    engine.install_constant("IN", 0);
    engine.install_constant("OUT", 1);
    engine.install_constant("EXT", 2);
    engine.install_constant("UPD", 3);
    const std::vector<Builtin> list = {
        {"fopen", 2, true, [this](Engine& e) { open(e); }},
        {"fclose", 1, false,
         [this](Engine& e) {
           if (Slot* s = slot(e.pop_int())) {
             const std::string name = s->name;
             // What could not be written (a full disk) is an error, not a
             // silently short file.
             if (!s->close()) e.raise(err::kFile, name);
           }
         }},
        {"fgets", 1, true, [this](Engine& e) { push_str(e, read_line(slot(e.pop_int()))); }},
        {"feof", 1, true, [this](Engine& e) { push_num(e, at_end(slot(e.pop_int())) ? 1 : 0); }},
        {"ferror", 1, true,
         [this](Engine& e) {
           const Slot* s = slot(e.pop_int());
           push_num(e, s == nullptr || std::ferror(s->file) != 0 ? 1 : 0);
         }},
        {"fok", 1, true,
         [this](Engine& e) {
           Slot* s = slot(e.pop_int());
           push_num(e, s != nullptr && !at_end(s) && std::ferror(s->file) == 0 ? 1 : 0);
         }},
        {"fexist", 1, true,
         [this](Engine& e) {
           const std::string name = pop_str(e);
           allow(e, name, Use::Look);
           push_num(e, ::access(name.c_str(), F_OK) == 0 ? 1 : 0);
         }},
        {"fprint", -1, false, [this](Engine& e) { print_to_file(e, "fprint", false); }},
        {"fprintln", -1, false, [this](Engine& e) { print_to_file(e, "fprintln", true); }},
        {"fprintf", 3, false,
         [this](Engine& e) {
           Slot* s = slot(e.pop_int());
           const std::string out = printed_f(e);
           write(e, s, out);
         }},
        {"date", -1, true, date},
        {"clock", 0, true,
         [](Engine& e) {
           timespec ts{};
           ::clock_gettime(CLOCK_REALTIME, &ts);
           push_num(e, static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
         }},
        {"datadd", 2, true,
         [](Engine& e) {
           const long days = e.pop_int();
           const std::string date = pop_str(e);
           std::string out;
           if (date_add_days(6, 6, date, out, days) != kDateOk) out.clear();
           push_str(e, std::move(out));
         }},
        {"readparm", 2, true,
         [this](Engine& e) {
           const std::string key = pop_str(e);
           const std::string section = pop_str(e);
           push_str(e, configs_ != nullptr ? configs_->get(config::kMainConfig, section, key) : "");
         }},
        {"writeparm", 3, true, [this](Engine& e) { write_parameter(e); }},
        {"splitline", 2, true, split_line},
        {"splitregex", 2, true, split_regex},
        {"mkdir", 1, false,
         [this](Engine& e) {
           const std::string name = pop_str(e);
           allow(e, name, Use::MakeDirectory);
           if (::mkdir(name.c_str(), 0777) != 0) e.raise(err::kMkdir, name);
         }},
        {"dir", 1, true,
         [this](Engine& e) {
           const std::string name = pop_str(e);
           allow(e, name, Use::Look);
           list_directory(e, name);
         }},
        {"fcopy", 2, false, [this](Engine& e) { copy_file(e); }},
        {"rename", 2, false,
         [this](Engine& e) {
           const std::string to = pop_str(e);
           const std::string from = pop_str(e);
           allow(e, from, Use::Write);
           allow(e, to, Use::Write);
           if (std::rename(from.c_str(), to.c_str()) != 0) {
             e.raise(err::kFile, ::access(from.c_str(), F_OK) != 0 ? from : to);
           }
         }},
        {"fdelete", 1, false,
         [this](Engine& e) {
           const std::string name = pop_str(e);
           allow(e, name, Use::Write);
           if (::unlink(name.c_str()) != 0) e.raise(err::kDelete, name);
         }},
        {"syscmd", 1, true,
         [this](Engine& e) {
           std::string command = pop_str(e);
           if (rules_ != nullptr) {
             if (std::string why = rules_->command(command); !why.empty()) e.raise(err::kNotPermitted, why);
           }
           std::replace(command.begin(), command.end(), '\\', '/');
           std::fflush(nullptr);
           const int status = std::system(command.c_str());
           push_num(e, status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
         }},
    };
    for (const auto& b : list) engine.install(b);
  }

  void release() override {
    for (auto& s : slots_) s.close();
  }

 private:
  struct Slot {
    std::FILE* file = nullptr;
    std::string name;
    bool reading = false;
    // False when what was buffered could not be written.
    bool close() {
      const bool ok = file == nullptr || std::fclose(file) == 0;
      file = nullptr;
      name.clear();
      return ok;
    }
  };

  using Use = SystemRules::Use;

  // Raises error 142 when the rules refuse `path` for `use`.
  void allow(Engine& e, const std::string& path, Use use) {
    if (rules_ == nullptr) return;
    if (std::string why = rules_->file(path, use); !why.empty()) e.raise(err::kNotPermitted, why);
  }

  Slot* slot(int n) {
    if (n < 0 || n >= kSlots || slots_[static_cast<std::size_t>(n)].file == nullptr) return nullptr;
    return &slots_[static_cast<std::size_t>(n)];
  }

  void open(Engine& e) {
    const int mode = e.pop_int();
    const std::string name = pop_str(e);
    static constexpr const char* kModes[] = {"r", "w", "a"};
    if (mode < 0 || mode > 2) e.raise(err::kOpenMode, name);
    // A longer name would open a different file once cut; it is refused.
    if (name.size() > kMaxFileName) e.raise(err::kFile, name);
    const auto free =
        std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.file == nullptr; });
    if (free == slots_.end()) e.raise(err::kFile, name);
    allow(e, name, mode == 0 ? Use::Read : Use::Write);
    free->file = mode == 0 ? open_regular_file(name) : open_output_stream(name, kModes[mode]);
    if (free->file == nullptr) e.raise(err::kFile, name);
    free->name = name;
    free->reading = mode == 0;
    push_num(e, static_cast<double>(free - slots_.begin()));
  }

  // The end is seen before a read fails: a file read to its last line is at
  // its end.
  static bool at_end(Slot* s) {
    if (s == nullptr) return true;
    if (std::feof(s->file) != 0) return true;
    if (!s->reading) return false;
    const int c = std::fgetc(s->file);
    if (c == EOF) return true;
    std::ungetc(c, s->file);
    return false;
  }

  static std::string read_line(Slot* s) {
    if (s == nullptr) return {};
    char buf[kMaxLine + 1];
    if (std::fgets(buf, sizeof buf, s->file) == nullptr) return {};
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }

  void print_to_file(Engine& e, const char* name, bool newline) {
    std::vector<Value> args = pop_arguments(e);
    if (args.empty()) e.raise(err::kArgCount, name);
    if (args.back().kind() != ValueKind::Number) e.raise(err::kNumberExpected);
    Slot* s = slot(to_int(args.back().num()));
    args.pop_back();
    const std::string out = printed(args, newline);
    write(e, s, out);
  }

  // Writes `text` into the slot's file (nothing when the slot is not open);
  // a failed write is error 102 with the file's name.
  static void write(Engine& e, Slot* s, const std::string& text) {
    if (s == nullptr) return;
    if (std::fwrite(text.data(), 1, text.size(), s->file) != text.size()) e.raise(err::kFile, s->name);
  }

  static void date(Engine& e) {
    const std::vector<Value> args = pop_arguments(e);
    if (args.size() > 1) e.raise(err::kArgCount, "date");
    std::string tmpl(kDefaultDateTemplate);
    if (!args.empty()) {
      if (args[0].kind() != ValueKind::String) e.raise(err::kStringExpected);
      tmpl = args[0].str();
    }
    push_str(e, date_now(tmpl));
  }

  void write_parameter(Engine& e) {
    const std::string value = pop_str(e);
    const std::string key = pop_str(e);
    const std::string section = pop_str(e);
    if (rules_ != nullptr) {
      if (std::string why = rules_->configuration(); !why.empty()) e.raise(err::kNotPermitted, why);
    }
    config::ConfigTree* tree = configs_ != nullptr ? configs_->tree(config::kMainConfig) : nullptr;
    if (tree == nullptr) {
      push_num(e, -3);  // no main configuration
      return;
    }
    tree->set(section, key, value);
    push_num(e, tree->save(main_path_).code());
  }

  static void split_line(Engine& e) {
    const std::string sep = pop_str(e);
    const std::string text = pop_str(e);
    StringArray pieces;
    if (sep.empty() && !text.empty()) {
      pieces.push_back(make_text(text));
    } else if (!text.empty()) {
      std::size_t from = 0;
      for (;;) {
        const auto at = text.find(sep, from);
        if (at == std::string::npos) {
          if (from < text.size()) pieces.push_back(make_text(text.substr(from)));
          break;
        }
        pieces.push_back(make_text(text.substr(from, at - from)));
        from = at + sep.size();
        if (pieces.size() % 4096 == 0) e.check_time();
      }
    }
    e.push(Value::strings(std::move(pieces)));
  }

  static void split_regex(Engine& e) {
    const std::string expression = pop_str(e);
    const std::string text = pop_str(e);
    regex_t re;
    if (const int rc = ::regcomp(&re, expression.c_str(), REG_EXTENDED); rc != 0) {
      char message[256];
      ::regerror(rc, &re, message, sizeof message);
      e.raise(err::kRegex, message);
    }
    std::array<regmatch_t, kRegexEntries> m{};
    StringArray parts;
    if (::regexec(&re, text.c_str(), m.size(), m.data(), 0) == 0) {
      for (const auto& g : m) {
        if (g.rm_so < 0) break;
        parts.push_back(make_text(
            text.substr(static_cast<std::size_t>(g.rm_so), static_cast<std::size_t>(g.rm_eo - g.rm_so))));
      }
    }
    ::regfree(&re);
    e.push(Value::strings(std::move(parts)));
  }

  static void list_directory(Engine& e, const std::string& dir) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) e.raise(err::kFile, dir);
    struct Entry {
      std::string name;
      struct stat st;
    };
    std::vector<Entry> files;
    while (const dirent* ent = ::readdir(d.get())) {
      e.check_time();  // beside a stat of each entry, the clock costs nothing
      Entry entry{ent->d_name, {}};
      const std::string path = dir + "/" + entry.name;
      if (::stat(path.c_str(), &entry.st) == 0 && S_ISREG(entry.st.st_mode))
        files.push_back(std::move(entry));
    }
    std::sort(files.begin(), files.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    StringArray out;
    for (const auto& f : files) {
      if (out.size() == kMaxDirEntries) {
        out.push_back(make_text("..."));
        break;
      }
      const CivilTime t = local_time(f.st.st_mtime);
      char line[512];
      std::snprintf(line, sizeof line, "%04d%02d%02d%02d%02d %09lld %s", t.year, t.month, t.day, t.hour,
                    t.minute, static_cast<long long>(f.st.st_size), f.name.c_str());
      out.push_back(make_text(line));
    }
    e.push(Value::strings(std::move(out)));
  }

  void copy_file(Engine& e) {
    const std::string to = pop_str(e);
    const std::string from = pop_str(e);
    allow(e, from, Use::Read);
    allow(e, to, Use::Write);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(open_regular_file(from), std::fclose);
    if (!in) e.raise(err::kFile, from);
    // Closed however the copy ends, the time limit included.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(open_output_stream(to, "wb"), std::fclose);
    if (!out) e.raise(err::kFile, to);
    char buf[8192];
    bool ok = true;
    std::size_t n;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in.get())) > 0) {
      e.check_time();
      ok = std::fwrite(buf, 1, n, out.get()) == n;
    }
    if (std::ferror(in.get()) != 0) e.raise(err::kFile, from);
    if (std::fclose(out.release()) != 0) ok = false;
    if (!ok) e.raise(err::kFile, to);
  }

  config::ConfigTable* configs_;
  std::string main_path_;
  std::shared_ptr<SystemRules> rules_;
  std::array<Slot, kSlots> slots_;
};

}  // namespace

std::unique_ptr<BuiltinGroup> make_file_group(config::ConfigTable* configs, std::string main_path,
                                              std::shared_ptr<SystemRules> rules) {
  return std::make_unique<FileGroup>(configs, std::move(main_path), std::move(rules));
}

}  // namespace corvanta::psi
