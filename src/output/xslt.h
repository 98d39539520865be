// The XSLT processor's process-wide set-up.
//
// The XML libraries need one initialisation per process before any document
// is parsed or transformed, and one termination after the last. This module
// owns that pair; the transformations themselves live with the printout and
// import modules. The XML libraries are not used anywhere else.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "util/result.h"

namespace corvanta {

inline constexpr std::int32_t kXsltInitFailed = -459;

class XsltProcessor {
 public:
  XsltProcessor();
  ~XsltProcessor();
  XsltProcessor(const XsltProcessor&) = delete;
  XsltProcessor& operator=(const XsltProcessor&) = delete;

  // Initialises the XML parser and the XSLT processor; -459 on failure.
  // Does nothing when already initialised.
  ResultCode initialize();
  // Terminates both when initialised.
  void terminate();
  bool initialized() const { return initialized_; }
  // Transforms the XML file `input` with the stylesheet file `stylesheet`
  // into the file `output`: 0, or -459 with the processor's message in
  // `error` (the processor stays usable). Needs initialize().
  ResultCode transform_file(const std::string& stylesheet, const std::string& input,
                            const std::string& output, std::string& error);
  // The same for a document held in memory; the result replaces `output`.
  // The stylesheet is compiled once and kept while its file stays the same
  // (size and modification time), so that a run of letters pays for it
  // once.
  ResultCode transform_text(const std::string& stylesheet, std::string_view input, std::string& output,
                            std::string& error);

 private:
  struct Cache;  // the transformer and its compiled stylesheets
  bool initialized_ = false;
  std::unique_ptr<Cache> cache_;
};

}  // namespace corvanta
