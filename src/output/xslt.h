// The XSLT processor: its process-wide set-up and the two ways the service
// transforms a document.
//
// The XML libraries need one initialisation per process before any document
// is parsed or transformed, and one termination after the last. This module
// owns that pair and every transformation; the XML libraries are not used
// for stylesheets anywhere else.
//
// What a stylesheet may read. No document the processor reads may carry a
// document type declaration: not the stylesheet, not the document it
// transforms, not anything they fetch. Such a document is refused before it
// is parsed, so no entity is ever declared (no file pulled in through an
// entity, no entity expanding beyond bounds). Everything a stylesheet
// fetches (xsl:include, xsl:import, document()) must be a local file (a
// relative name, a path or a file: address; relative names count from the
// stylesheet's directory) that the caller's ResourceCheck admits; the
// processor reads the file itself and hands its bytes on. The first refused
// resource makes the whole transformation fail, even where document() would
// otherwise go on with an empty node set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "util/result.h"

namespace corvanta {

inline constexpr std::int32_t kXsltInitFailed = -459;
// What a command reports when the stylesheet it names fails or is stopped.
inline constexpr std::int32_t kXsltFailed = -460;

// Decides whether a stylesheet may read the local file `path` (absolute,
// with links resolved: the file that will be read): true, or false with the
// reason in `why` (an empty reason reads "not allowed"). An empty check
// admits nothing.
using ResourceCheck = std::function<bool(const std::string& path, std::string& why)>;

// The bounds of one transform_file run. A 0 leaves that bound as the service
// has it. The defaults suit imports of some hundred megabytes; the
// configuration's Limits section may set others.
struct XsltLimits {
  // Processor time for compiling, transforming and writing.
  std::uint32_t cpu_seconds = 300;
  // Memory the run may take on top of what the service already holds.
  std::uint64_t memory_bytes = std::uint64_t{4} << 30;
  // Size of the output file.
  std::uint64_t output_bytes = std::uint64_t{4} << 30;
};

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
  // into the file `output`, for stylesheets from operators: 0, or -459 with
  // the reason in `error` (the processor stays usable). The work runs in a
  // child process bounded by `limits`, so that a stylesheet that loops,
  // recurses without end or swallows memory ends with an error and never
  // takes the service with it. Only the child writes `output`; after a
  // failure it may hold a part of the result, and the caller removes it.
  // Needs initialize().
  ResultCode transform_file(const std::string& stylesheet, const std::string& input,
                            const std::string& output, const ResourceCheck& check, const XsltLimits& limits,
                            std::string& error);
  // The same for a document held in memory, for the installation's own
  // stylesheets: it runs in the service itself, without bounds. The result
  // replaces `output`. The stylesheet is compiled once and kept while its
  // file stays the same (size and modification time), so that a run of
  // letters pays for it once.
  ResultCode transform_text(const std::string& stylesheet, std::string_view input, std::string& output,
                            const ResourceCheck& check, std::string& error);

 private:
  struct Cache;  // the transformer and its compiled stylesheets
  bool initialized_ = false;
  std::unique_ptr<Cache> cache_;
};

}  // namespace corvanta
