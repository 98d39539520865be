#include "output/xslt.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <sstream>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/parsers/SAX2XMLReaderImpl.hpp>
#include <xercesc/sax/EntityResolver.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/util/BinMemInputStream.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta {
namespace {

namespace x = xercesc;
namespace fs = std::filesystem;

// Entities can only be declared in a document type declaration, which is
// refused; the limit is a second line should one ever get through.
constexpr XMLSize_t kEntityExpansionLimit = 10000;

using XmlString = std::basic_string<XMLCh>;

std::string utf8(const XMLCh* s) {
  if (s == nullptr) return {};
  const x::TranscodeToStr bytes(s, "UTF-8");
  return {reinterpret_cast<const char*>(bytes.str()), bytes.length()};
}

// The file: address of an absolute path; every byte but the plain ones
// percent-encoded, so that the address is ASCII and decodes to the same
// bytes.
XmlString file_address(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  XmlString url = u"file://";
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
        std::string_view("/-._~").find(c) != std::string_view::npos) {
      url += static_cast<XMLCh>(u);
    } else {
      url += u'%';
      url += static_cast<XMLCh>(kHex[u >> 4]);
      url += static_cast<XMLCh>(kHex[u & 0xF]);
    }
  }
  return url;
}

std::string absolute_path(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::absolute(path, ec);
  return (ec ? fs::path(path) : p).lexically_normal().string();
}

std::string directory_of(const std::string& path) {
  return fs::path(absolute_path(path)).parent_path().string();
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = ascii_lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes behind %XX escapes; nullopt for a broken escape or a NUL.
std::optional<std::string> percent_decoded(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%') {
      if (i + 2 >= s.size()) return std::nullopt;
      const int hi = hex_value(s[i + 1]), lo = hex_value(s[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    out += c;
  }
  return out;
}

// Where an address begins with a scheme ("http:", "file:"): the position of
// its colon; npos for a plain (relative or absolute) name.
std::size_t scheme_end(std::string_view id) {
  if (id.empty() || !std::isalpha(static_cast<unsigned char>(id[0]))) return std::string_view::npos;
  for (std::size_t i = 1; i < id.size(); ++i) {
    const auto c = static_cast<unsigned char>(id[i]);
    if (c == ':') return i;
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') break;
  }
  return std::string_view::npos;
}

// The local file a system id names: plain names count from `base_dir`,
// file: addresses are decoded; any other address names no local file.
// True with the path, or false with the reason.
bool local_path(std::string_view id, const std::string& base_dir, std::string& path, std::string& why) {
  std::string_view rest = id;
  if (const std::size_t colon = scheme_end(id); colon != std::string_view::npos) {
    if (!equal_nocase(id.substr(0, colon), "file")) {
      why = "only local files are read";
      return false;
    }
    rest = id.substr(colon + 1);
    if (rest.starts_with("//")) {
      const std::size_t slash = rest.find('/', 2);
      const std::string_view host = rest.substr(2, slash == std::string_view::npos ? slash : slash - 2);
      if (!host.empty() && !equal_nocase(host, "localhost")) {
        why = "only local files are read";
        return false;
      }
      rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  const std::optional<std::string> name = percent_decoded(rest);
  if (!name || name->empty()) {
    why = "names no file";
    return false;
  }
  fs::path p(*name);
  if (p.is_relative()) p = fs::path(base_dir) / p;
  // Links resolved, so that the check sees the file that is read.
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(p, ec);
  path = (ec ? p.lexically_normal() : real).string();
  return true;
}

// Reads the prolog of a document, up to its first element, to find a
// document type declaration. Whatever such a declaration holds (entities
// named by file, entities nested to explode) is never looked at: the scan
// stops where it begins. The reader's own doctype callback is the hook, as
// the lexical handler's startDTD is left out for a declaration with neither
// an internal subset nor an external id.
class PrologScan final : public x::SAX2XMLReaderImpl, private x::DefaultHandler {
 public:
  PrologScan() {
    setFeature(x::XMLUni::fgSAX2CoreNameSpaces, false);
    setFeature(x::XMLUni::fgSAX2CoreValidation, false);
    setFeature(x::XMLUni::fgXercesLoadExternalDTD, false);
    setFeature(x::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    security_.setEntityExpansionLimit(kEntityExpansionLimit);
    setProperty(x::XMLUni::fgXercesSecurityManager, &security_);
    setContentHandler(this);
    setErrorHandler(this);
    setLexicalHandler(this);  // without one the scanner reports no doctype
  }

  // Whether the document declares a document type. A document that is
  // not well-formed before its first element is passed on: the processor
  // reads it with the same parser, stops at the same fault and reports it
  // in its own words.
  bool has_doctype(std::string_view bytes) {
    doctype_ = false;
    root_ = false;
    const x::MemBufInputSource source(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(),
                                      "document", false);
    try {
      x::XMLPScanToken token;
      bool more = parseFirst(source, token);
      while (more && !root_) more = parseNext(token);
      parseReset(token);
    } catch (const x::SAXException&) {
    } catch (const x::XMLException&) {
    }
    return doctype_;
  }

  void doctypeDecl(const x::DTDElementDecl&, const XMLCh* const, const XMLCh* const, const bool,
                   const bool) override {
    doctype_ = true;
    throw x::SAXException(u"document type declaration");
  }

 private:
  void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const,
                    const x::Attributes&) override {
    root_ = true;
  }

  x::SecurityManager security_;
  bool doctype_ = false;
  bool root_ = false;
};

// A document's bytes, handed to the processor under its file: address so
// that what it names in turn counts from there.
class BytesSource final : public x::InputSource {
 public:
  BytesSource(std::string bytes, const XmlString& address)
      : x::InputSource(address.c_str()), bytes_(std::move(bytes)) {}
  x::BinInputStream* makeStream() const override {
    return new x::BinMemInputStream(reinterpret_cast<const XMLByte*>(bytes_.data()), bytes_.size(),
                                    x::BinMemInputStream::BufOpt_Reference);
  }

 private:
  std::string bytes_;
};

// Everything the processor reads passes here: the documents the caller
// names through load(), the ones a stylesheet fetches through the
// resolver, which the processor asks for each xsl:include, xsl:import and
// document() (and would ask for external entities, were any declared).
class ResourceReader final : public x::EntityResolver {
 public:
  // Before a compilation or transformation: whom to ask, where plain names
  // count from; forgets an earlier refusal.
  void prepare(const ResourceCheck& check, std::string base_dir) {
    check_ = check;
    base_dir_ = std::move(base_dir);
    refusal_.clear();
  }
  // The first resource refused since prepare(), as an error text; empty
  // when none was.
  const std::string& refusal() const { return refusal_; }

  // The bytes of the regular file `path` when it has no document type
  // declaration; false with the error text.
  bool load(const std::string& path, std::string& bytes, std::string& error) {
    std::optional<std::string> text = read_regular_file(path);
    if (!text) {
      error = "cannot open " + path;
      return false;
    }
    if (!admit(*text, path, error)) return false;
    bytes = std::move(*text);
    return true;
  }
  // Whether the document `name` may go on to the processor; false with
  // the error text.
  bool admit(std::string_view bytes, const std::string& name, std::string& error) {
    if (!scan_.has_doctype(bytes)) return true;
    error = name + ": document type declarations are not read";
    return false;
  }

  x::InputSource* resolveEntity(const XMLCh* const, const XMLCh* const system_id) override {
    const std::string id = utf8(system_id);
    std::string path, why;
    if (!local_path(id, base_dir_, path, why)) refuse(id + ": " + why);
    if (!check_ || !check_(path, why)) refuse(path + ": " + (why.empty() ? std::string("not allowed") : why));
    std::string bytes, error;
    if (!load(path, bytes, error)) refuse(error);
    return new BytesSource(std::move(bytes), file_address(path));
  }

 private:
  // Ends the processor's fetch. document() takes any failure as an empty
  // node set and goes on, so the refusal is kept for the end of the run.
  [[noreturn]] void refuse(const std::string& error) {
    if (refusal_.empty()) refusal_ = error;
    throw x::SAXException(u"resource refused");
  }

  ResourceCheck check_;
  std::string base_dir_;
  std::string refusal_;
  PrologScan scan_;
};

// A transformer with its reader as resolver, quiet on warnings.
struct Engine {
  xalanc::XalanTransformer transformer;
  x::HandlerBase quiet;
  ResourceReader reader;

  Engine() {
    transformer.setWarningStream(nullptr);
    transformer.setErrorHandler(&quiet);
    transformer.setEntityResolver(&reader);
  }

  // What a compilation or transformation that returned `rc` comes to: a
  // refused resource outweighs whatever the processor made of it.
  ResultCode outcome(int rc, std::string& error) {
    if (!reader.refusal().empty()) {
      error = reader.refusal();
      return kXsltInitFailed;
    }
    if (rc != 0) {
      error = transformer.getLastError();
      return kXsltInitFailed;
    }
    return 0;
  }
};

// The whole of transform_file, in the child process.
ResultCode transform_here(const std::string& stylesheet, const std::string& input, const std::string& output,
                          const ResourceCheck& check, std::string& error) {
  Engine engine;
  engine.reader.prepare(check, directory_of(stylesheet));
  std::string style_bytes, input_bytes;
  if (!engine.reader.load(stylesheet, style_bytes, error)) return kXsltInitFailed;
  if (!engine.reader.load(input, input_bytes, error)) return kXsltInitFailed;
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "cannot open " + output;
    return kXsltInitFailed;
  }
  std::istringstream style(std::move(style_bytes));
  std::istringstream in(std::move(input_bytes));
  xalanc::XSLTInputSource sheet(&style);
  sheet.setSystemId(file_address(absolute_path(stylesheet)).c_str());
  xalanc::XSLTInputSource source(&in);
  source.setSystemId(file_address(absolute_path(input)).c_str());
  xalanc::XSLTResultTarget target(out);
  if (const ResultCode rc = engine.outcome(engine.transformer.transform(source, sheet, target), error);
      rc.failed())
    return rc;
  out.flush();
  if (!out) {
    error = "cannot write " + output;
    return kXsltInitFailed;
  }
  return 0;
}

// How a child that ran out of memory ends (its new-handler exits so).
constexpr int kOutOfMemoryExit = 3;

// Sets one bound for this process, never above what it already has.
void limit(int resource, rlim_t soft, rlim_t hard) {
  rlimit now{};
  if (::getrlimit(resource, &now) != 0) return;
  if (now.rlim_max != RLIM_INFINITY) {
    hard = std::min(hard, now.rlim_max);
    soft = std::min(soft, hard);
  }
  const rlimit to{soft, hard};
  (void)::setrlimit(resource, &to);
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer reserves terabytes of address space
// The address space this process holds now, in bytes.
std::uint64_t address_space() {
  unsigned long pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r"); f != nullptr) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}
#endif

void apply_limits(const XsltLimits& limits) {
  limit(RLIMIT_CORE, 0, 0);
  // Past the soft bound the kernel sends SIGXCPU; the hard one a second
  // later kills for sure.
  if (limits.cpu_seconds != 0) limit(RLIMIT_CPU, limits.cpu_seconds, rlim_t{limits.cpu_seconds} + 1);
  if (limits.output_bytes != 0) limit(RLIMIT_FSIZE, limits.output_bytes, limits.output_bytes);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer reserves terabytes of address space
  if (limits.memory_bytes != 0) {
    const std::uint64_t bound = address_space() + limits.memory_bytes;
    limit(RLIMIT_AS, bound, bound);
  }
#endif
  // The service ignores SIGXFSZ for its own files; here the signal is what
  // tells the parent why the child ended.
  std::signal(SIGXFSZ, SIG_DFL);
  std::signal(SIGXCPU, SIG_DFL);
  // A crash (a stack overflow of endless recursion) ends the child by its
  // signal, whatever handler the service installed.
  std::signal(SIGSEGV, SIG_DFL);
  std::signal(SIGBUS, SIG_DFL);
  std::set_new_handler([] { ::_exit(kOutOfMemoryExit); });
}

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string read_all(int fd) {
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    if (text.size() < 65536) text.append(buf, static_cast<std::size_t>(n));
  }
}

// Runs `work` in a child process bounded by `limits` and waits for it: its
// result, with its error text or, when it was killed, what killed it.
ResultCode run_bounded(const std::string& stylesheet, const XsltLimits& limits,
                       const std::function<ResultCode(std::string&)>& work, std::string& error) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error = "cannot start the stylesheet process";
    return kXsltInitFailed;
  }
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    error = "cannot start the stylesheet process";
    return kXsltInitFailed;
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    // A service killed meanwhile takes its stylesheet run with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    apply_limits(limits);
    std::string text;
    ResultCode rc = kXsltInitFailed;
    try {
      rc = work(text);
    } catch (const std::bad_alloc&) {
      ::_exit(kOutOfMemoryExit);
    } catch (...) {
      text = "the stylesheet processor failed";
    }
    write_all(pipe_fds[1], text);
    ::_exit(rc.failed() ? 1 : 0);
  }
  ::close(pipe_fds[1]);
  const std::string text = read_all(pipe_fds[0]);
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "lost the stylesheet process";
      return kXsltInitFailed;
    }
  }
  const std::string prefix = stylesheet + ": the stylesheet ";
  if (WIFEXITED(status)) {
    switch (WEXITSTATUS(status)) {
      case 0: return 0;
      case kOutOfMemoryExit:
        error = prefix + "ran past its memory limit of " + std::to_string(limits.memory_bytes) + " bytes";
        return kXsltInitFailed;
      default: error = text.empty() ? prefix + "failed" : text; return kXsltInitFailed;
    }
  }
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (sig == SIGXCPU)
    error = prefix + "ran past its time limit of " + std::to_string(limits.cpu_seconds) + " s";
  else if (sig == SIGXFSZ)
    error = prefix + "ran past its output limit of " + std::to_string(limits.output_bytes) + " bytes";
  else
    error = prefix + "crashed (signal " + std::to_string(sig) + ")";
  return kXsltInitFailed;
}

}  // namespace

struct XsltProcessor::Cache {
  struct Sheet {
    const xalanc::XalanCompiledStylesheet* compiled = nullptr;
    off_t size = 0;
    std::int64_t modified = 0;
  };
  Engine engine;
  std::map<std::string, Sheet> sheets;
};

XsltProcessor::XsltProcessor() = default;

XsltProcessor::~XsltProcessor() {
  terminate();
}

ResultCode XsltProcessor::initialize() {
  if (initialized_) return 0;
  try {
    xercesc::XMLPlatformUtils::Initialize();
    xalanc::XalanTransformer::initialize();
  } catch (...) {
    return kXsltInitFailed;
  }
  initialized_ = true;
  return 0;
}

void XsltProcessor::terminate() {
  if (!initialized_) return;
  cache_.reset();  // its transformer and stylesheets go before the libraries
  xalanc::XalanTransformer::terminate();
  xercesc::XMLPlatformUtils::Terminate();
  xalanc::XalanTransformer::ICUCleanUp();
  initialized_ = false;
}

ResultCode XsltProcessor::transform_text(const std::string& stylesheet, std::string_view input,
                                         std::string& output, const ResourceCheck& check,
                                         std::string& error) {
  if (!initialized_) return kXsltInitFailed;
  struct stat st {};
  if (::stat(stylesheet.c_str(), &st) != 0) {
    error = "cannot open " + stylesheet;
    return kXsltInitFailed;
  }
  if (!cache_) cache_ = std::make_unique<Cache>();
  Engine& engine = cache_->engine;
  engine.reader.prepare(check, directory_of(stylesheet));
  Cache::Sheet& sheet = cache_->sheets[stylesheet];
  const std::int64_t modified =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  if (sheet.compiled == nullptr || sheet.size != st.st_size || sheet.modified != modified) {
    if (sheet.compiled != nullptr) (void)engine.transformer.destroyStylesheet(sheet.compiled);
    sheet = {};
    std::string bytes;
    if (!engine.reader.load(stylesheet, bytes, error)) {
      cache_->sheets.erase(stylesheet);
      return kXsltInitFailed;
    }
    std::istringstream style(std::move(bytes));
    xalanc::XSLTInputSource source(&style);
    source.setSystemId(file_address(absolute_path(stylesheet)).c_str());
    const int rc = engine.transformer.compileStylesheet(source, sheet.compiled);
    if (engine.outcome(rc, error).failed() || sheet.compiled == nullptr) {
      if (sheet.compiled != nullptr) (void)engine.transformer.destroyStylesheet(sheet.compiled);
      cache_->sheets.erase(stylesheet);
      if (error.empty()) error = "cannot compile " + stylesheet;
      return kXsltInitFailed;
    }
    sheet.size = st.st_size;
    sheet.modified = modified;
  }
  if (!engine.reader.admit(input, "the document to transform", error)) return kXsltInitFailed;
  std::istringstream in{std::string(input)};
  std::ostringstream out;
  const xalanc::XSLTInputSource source(&in);
  xalanc::XSLTResultTarget target(out);
  if (const ResultCode rc =
          engine.outcome(engine.transformer.transform(source, sheet.compiled, target), error);
      rc.failed())
    return rc;
  output = std::move(out).str();
  return 0;
}

ResultCode XsltProcessor::transform_file(const std::string& stylesheet, const std::string& input,
                                         const std::string& output, const ResourceCheck& check,
                                         const XsltLimits& limits, std::string& error) {
  if (!initialized_) return kXsltInitFailed;
  return run_bounded(
      stylesheet, limits,
      [&](std::string& child_error) { return transform_here(stylesheet, input, output, check, child_error); },
      error);
}

}  // namespace corvanta
