#include "output/xslt.h"

#include <fstream>
#include <sstream>
#include <xalanc/XalanTransformer/XalanTransformer.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

namespace corvanta {

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
  std::ifstream style(stylesheet, std::ios::binary);
  if (!style) {
    error = "cannot open " + stylesheet;
    return kXsltInitFailed;
  }
  std::istringstream in{std::string(input)};
  std::ostringstream out;
  if (const ResultCode rc = run_transformer(style, in, out, error); rc.failed()) return rc;
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
