#include "output/xslt.h"

#include <xalanc/XalanTransformer/XalanTransformer.hpp>
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

}  // namespace corvanta
