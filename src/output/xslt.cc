#include "output/xslt.h"

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

namespace corvanta {

struct XsltProcessor::Cache {
  struct Sheet {
    const xalanc::XalanCompiledStylesheet* compiled = nullptr;
    off_t size = 0;
    std::int64_t modified = 0;
  };
  xalanc::XalanTransformer transformer;
  xercesc::HandlerBase quiet;
  std::map<std::string, Sheet> sheets;

  Cache() {
    transformer.setWarningStream(nullptr);
    transformer.setErrorHandler(&quiet);
  }
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

namespace {

// One transformation from `in` with the stylesheet `style` into `out`: 0,
// or -459 with the processor's message.
ResultCode run_transformer(std::istream& style, std::istream& in, std::ostream& out, std::string& error) {
  xalanc::XalanTransformer transformer;
  xercesc::HandlerBase quiet;
  transformer.setWarningStream(nullptr);
  transformer.setErrorHandler(&quiet);
  const xalanc::XSLTInputSource source(&in);
  const xalanc::XSLTInputSource sheet(&style);
  xalanc::XSLTResultTarget target(out);
  if (transformer.transform(source, sheet, target) != 0) {
    error = transformer.getLastError();
    return kXsltInitFailed;
  }
  return 0;
}

}  // namespace

ResultCode XsltProcessor::transform_text(const std::string& stylesheet, std::string_view input,
                                         std::string& output, std::string& error) {
  if (!initialized_) return kXsltInitFailed;
  struct stat st {};
  if (::stat(stylesheet.c_str(), &st) != 0) {
    error = "cannot open " + stylesheet;
    return kXsltInitFailed;
  }
  if (!cache_) cache_ = std::make_unique<Cache>();
  Cache::Sheet& sheet = cache_->sheets[stylesheet];
  const std::int64_t modified =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  if (sheet.compiled == nullptr || sheet.size != st.st_size || sheet.modified != modified) {
    if (sheet.compiled != nullptr) (void)cache_->transformer.destroyStylesheet(sheet.compiled);
    sheet = {};
    std::ifstream style(stylesheet, std::ios::binary);
    if (!style) {
      cache_->sheets.erase(stylesheet);
      error = "cannot open " + stylesheet;
      return kXsltInitFailed;
    }
    const xalanc::XSLTInputSource source(&style);
    if (cache_->transformer.compileStylesheet(source, sheet.compiled) != 0 || sheet.compiled == nullptr) {
      error = cache_->transformer.getLastError();
      cache_->sheets.erase(stylesheet);
      return kXsltInitFailed;
    }
    sheet.size = st.st_size;
    sheet.modified = modified;
  }
  std::istringstream in{std::string(input)};
  std::ostringstream out;
  const xalanc::XSLTInputSource source(&in);
  xalanc::XSLTResultTarget target(out);
  if (cache_->transformer.transform(source, sheet.compiled, target) != 0) {
    error = cache_->transformer.getLastError();
    return kXsltInitFailed;
  }
  output = std::move(out).str();
  return 0;
}

ResultCode XsltProcessor::transform_file(const std::string& stylesheet, const std::string& input,
                                         const std::string& output, std::string& error) {
  if (!initialized_) return kXsltInitFailed;
  std::ifstream style(stylesheet, std::ios::binary);
  std::ifstream in(input, std::ios::binary);
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  if (!style || !in || !out) {
    error = "cannot open " + (!style ? stylesheet : !in ? input : output);
    return kXsltInitFailed;
  }
  if (const ResultCode rc = run_transformer(style, in, out, error); rc.failed()) return rc;
  out.flush();
  if (!out) {
    error = "cannot write " + output;
    return kXsltInitFailed;
  }
  return 0;
}

}  // namespace corvanta
