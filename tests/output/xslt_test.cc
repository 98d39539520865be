// The XSLT processor against stylesheets and documents that try to read
// what they should not, or to run without end.
#include "output/xslt.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "scratch_dir.h"

namespace corvanta {
namespace {

using testing::read_file;

constexpr char kHead[] =
    "<?xml version=\"1.0\"?>\n"
    "<x:stylesheet xmlns:x=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\">\n";
constexpr char kTail[] = "<x:output method=\"text\"/>\n</x:stylesheet>\n";

std::string sheet(const std::string& body) {
  return kHead + body + kTail;
}

class XsltTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(xslt_.initialize().ok()); }
  static void TearDownTestSuite() { xslt_.terminate(); }

  void SetUp() override {
    dir_ = testing::make_scratch_dir("xslt");
    write("secret.tab", "<users>SYS topsecret</users>\n");
    write("doc.xml", "<d>INPUT</d>\n");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(path(name)).parent_path());
    std::ofstream(path(name), std::ios::binary) << text;
  }

  // Runs the stylesheet `name` over doc.xml into out.txt: the result code,
  // the output in out_, the error text in error_.
  ResultCode file(const std::string& name, const XsltLimits& limits = {}) {
    error_.clear();
    const ResultCode rc =
        xslt_.transform_file(path(name), path("doc.xml"), path("out.txt"), check_, limits, error_);
    out_ = read_file(path("out.txt"));
    return rc;
  }
  ResultCode text(const std::string& name, const std::string& input = "<d>INPUT</d>") {
    error_.clear();
    out_.clear();
    return xslt_.transform_text(path(name), input, out_, check_, error_);
  }

  static XsltProcessor xslt_;
  std::string dir_;
  std::string out_, error_;
  std::set<std::string> asked_;  // what the check was asked about
  // Admits every file but those named secret*.
  ResourceCheck check_ = [this](const std::string& p, std::string& why) {
    asked_.insert(p);
    if (std::filesystem::path(p).filename().string().starts_with("secret")) {
      why = "outside the stylesheet's files";
      return false;
    }
    return true;
  };
};

XsltProcessor XsltTest::xslt_;

TEST_F(XsltTest, PlainTransformThroughBothEntryPoints) {
  write("plain.xsl", sheet("<x:template match=\"/\">[<x:value-of select=\"d\"/>]</x:template>"));
  ASSERT_TRUE(file("plain.xsl").ok()) << error_;
  EXPECT_EQ(out_, "[INPUT]");
  ASSERT_TRUE(text("plain.xsl").ok()) << error_;
  EXPECT_EQ(out_, "[INPUT]");
  // The second run takes the compiled stylesheet from the cache.
  ASSERT_TRUE(text("plain.xsl", "<d>TWO</d>").ok()) << error_;
  EXPECT_EQ(out_, "[TWO]");
  // Character and predefined entity references need no declaration.
  write("refs.xsl", sheet("<x:template match=\"/\">&#65;&amp;&lt;</x:template>"));
  ASSERT_TRUE(file("refs.xsl").ok()) << error_;
  EXPECT_EQ(out_, "A&<");
  // A broken stylesheet reports the processor's message and leaves the
  // processor usable.
  write("broken.xsl", sheet("<x:template match=\"/\"><x:nonsense/></x:template>"));
  EXPECT_EQ(text("broken.xsl").code(), kXsltInitFailed);
  EXPECT_FALSE(error_.empty());
  EXPECT_TRUE(text("plain.xsl").ok()) << error_;
}

TEST_F(XsltTest, DocumentTypeDeclarationsAreRefusedWherever) {
  const std::string entity =
      "<!DOCTYPE x:stylesheet [<!ENTITY e SYSTEM \"secret.tab\">]>\n"
      "<x:stylesheet xmlns:x=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\">\n"
      "<x:template match=\"/\">&e;</x:template></x:stylesheet>\n";
  write("entity.xsl", entity);
  EXPECT_EQ(file("entity.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("entity.xsl") + ": document type declarations are not read");
  EXPECT_EQ(out_.find("topsecret"), std::string::npos);
  EXPECT_EQ(text("entity.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("entity.xsl") + ": document type declarations are not read");

  // In the input document, after a comment and in UTF-16: the scan reads
  // the document in its own encoding.
  write("copy.xsl", sheet("<x:template match=\"/\"><x:value-of select=\".\"/></x:template>"));
  write("doc.xml", "<?xml version=\"1.0\"?><!-- c --><!DOCTYPE d SYSTEM \"secret.tab\"><d/>");
  EXPECT_EQ(file("copy.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("doc.xml") + ": document type declarations are not read");
  std::string utf16 = "\xFF\xFE";
  for (const char c : std::string("<!DOCTYPE d [<!ENTITY e SYSTEM \"secret.tab\">]><d>&e;</d>")) {
    utf16 += c;
    utf16 += '\0';
  }
  write("doc.xml", utf16);
  EXPECT_EQ(file("copy.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("doc.xml") + ": document type declarations are not read");
  EXPECT_EQ(text("copy.xsl", "<!DOCTYPE d><d/>").code(), kXsltInitFailed);
  EXPECT_EQ(error_, "the document to transform: document type declarations are not read");

  // A fault ahead of the declaration: the processor stops there and says
  // so in its own words; the declaration is never reached.
  write("fault.xsl", "<?xml version=\"1.0\"?><!-- a -- b -->" + entity);
  EXPECT_EQ(text("fault.xsl").code(), kXsltInitFailed);
  EXPECT_NE(error_.find("fault.xsl"), std::string::npos) << error_;
  EXPECT_EQ(error_.find("secret"), std::string::npos) << error_;
  EXPECT_TRUE(asked_.empty());

  // Nested entities that would expand to gigabytes: refused before any.
  std::string bomb = "<!DOCTYPE x:stylesheet [<!ENTITY a0 \"lol\">\n";
  for (int i = 1; i <= 12; ++i) {
    const std::string prev = std::string("&a") + std::to_string(i - 1) + ";";
    bomb += std::string("<!ENTITY a") + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) bomb += prev;
    bomb += "\">\n";
  }
  bomb +=
      "]>\n<x:stylesheet xmlns:x=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\">"
      "<x:template match=\"/\">&a12;</x:template></x:stylesheet>\n";
  write("bomb.xsl", bomb);
  EXPECT_EQ(text("bomb.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("bomb.xsl") + ": document type declarations are not read");

  // A fetched document with a declaration: refused the same way.
  write("sub/dtd.xsl", entity);
  write("uses_dtd.xsl", sheet("<x:include href=\"sub/dtd.xsl\"/>"));
  EXPECT_EQ(text("uses_dtd.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("sub/dtd.xsl") + ": document type declarations are not read");
}

TEST_F(XsltTest, IncludeImportAndDocumentPassTheCheck) {
  write("lib/inc.xsl", sheet("<x:template name=\"inc\">INC</x:template>"));
  write("lib/imp.xsl",
        sheet("<x:include href=\"../lib/inc.xsl\"/><x:template name=\"imp\">IMP</x:template>"));
  write("data/other.xml", "<o>OTHER</o>");
  write("all.xsl",
        sheet("<x:import href=\"lib/imp.xsl\"/>"
              "<x:template match=\"/\"><x:call-template name=\"inc\"/><x:call-template name=\"imp\"/>"
              "<x:value-of select=\"document('data/other.xml')\"/>"
              "<x:value-of select=\"count(document(''))\"/></x:template>"));
  ASSERT_TRUE(file("all.xsl").ok()) << error_;
  EXPECT_EQ(out_, "INCIMPOTHER1");
  ASSERT_TRUE(text("all.xsl").ok()) << error_;
  EXPECT_EQ(out_, "INCIMPOTHER1");
  // (transform_file asks in its child process, out of this one's sight.)
  EXPECT_EQ(asked_, (std::set<std::string>{path("lib/inc.xsl"), path("lib/imp.xsl"), path("data/other.xml"),
                                           path("all.xsl")}));

  // Names with blanks and other bytes that a file: address escapes.
  write("a dir%/in c.xsl", sheet("<x:template name=\"inc\">BLANK</x:template>"));
  write("blank.xsl", sheet("<x:include href=\"a%20dir%25/in%20c.xsl\"/>"
                           "<x:template match=\"/\"><x:call-template name=\"inc\"/></x:template>"));
  ASSERT_TRUE(text("blank.xsl").ok()) << error_;
  EXPECT_EQ(out_, "BLANK");
}

TEST_F(XsltTest, RefusedResourcesFailTheTransform) {
  const std::string refused = path("secret.tab") + ": outside the stylesheet's files";
  write("secret_inc.xsl", sheet("<x:template name=\"t\">LEAK</x:template>"));
  write("inc.xsl", sheet("<x:include href=\"secret_inc.xsl\"/>"));
  EXPECT_EQ(file("inc.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("secret_inc.xsl") + ": outside the stylesheet's files");
  write("imp.xsl", sheet(std::string("<x:import href=\"") + path("secret_inc.xsl") + "\"/>"));
  EXPECT_EQ(text("imp.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("secret_inc.xsl") + ": outside the stylesheet's files");

  // document() alone would go on with an empty node set; the refusal still
  // fails the run, in both entry points, whatever the address looks like
  // (a link is judged by the file it leads to).
  std::filesystem::create_symlink(path("secret.tab"), path("harmless.xml"));
  for (const std::string& href :
       {std::string("secret.tab"), std::string("sub/../secret.tab"), std::string("harmless.xml"),
        std::string("file://") + path("secret.tab"), std::string("file://localhost") + path("secret.tab")}) {
    write("doc.xsl",
          sheet("<x:template match=\"/\">[<x:copy-of select=\"document('" + href + "')\"/>]</x:template>"));
    EXPECT_EQ(file("doc.xsl").code(), kXsltInitFailed) << href;
    EXPECT_EQ(error_, refused) << href;
    EXPECT_EQ(out_.find("topsecret"), std::string::npos);
    EXPECT_EQ(text("doc.xsl").code(), kXsltInitFailed) << href;
    EXPECT_EQ(error_, refused) << href;
  }
  // The document to transform names the file: same refusal.
  write("doc.xml", "<d href=\"secret.tab\"/>");
  write("indirect.xsl",
        sheet("<x:template match=\"/\"><x:copy-of select=\"document(d/@href)\"/></x:template>"));
  EXPECT_EQ(file("indirect.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, refused);

  // Nothing but local files, and never without a check.
  write("http.xsl",
        sheet("<x:template match=\"/\"><x:copy-of select=\"document('http://127.0.0.1:9/x.xml')\"/>"
              "</x:template>"));
  EXPECT_EQ(file("http.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, "http://127.0.0.1:9/x.xml: only local files are read");
  write("host.xsl", sheet("<x:include href=\"file://elsewhere/etc/passwd\"/>"));
  EXPECT_EQ(text("host.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, "file://elsewhere/etc/passwd: only local files are read");
  write("plain_doc.xsl",
        sheet("<x:template match=\"/\"><x:copy-of select=\"document('doc.xml')\"/></x:template>"));
  check_ = nullptr;
  EXPECT_EQ(text("plain_doc.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("doc.xml") + ": not allowed");
}

TEST_F(XsltTest, RunawayStylesheetsEndWithAClearError) {
  // Endless recursion: the child dies, the service (this test) lives on.
  write("endless.xsl", sheet("<x:template match=\"/\"><x:call-template name=\"r\"/></x:template>"
                             "<x:template name=\"r\"><x:call-template name=\"r\"/></x:template>"));
  XsltLimits limits;
  limits.cpu_seconds = 2;
  limits.memory_bytes = 256 << 20;
  EXPECT_EQ(file("endless.xsl", limits).code(), kXsltInitFailed);
  // Whichever bound it meets first (without the memory bound under the
  // address sanitizer, which reserves terabytes of address space).
  EXPECT_TRUE(error_.find(": the stylesheet crashed (signal ") != std::string::npos ||
              error_.find(": the stylesheet ran past its memory limit of 268435456 bytes") !=
                  std::string::npos ||
              error_.find(": the stylesheet ran past its time limit of 2 s") != std::string::npos)
      << error_;

  // Two calls per level, forty levels: never ends in time.
  write("exponential.xsl",
        sheet("<x:template match=\"/\"><x:call-template name=\"f\"><x:with-param name=\"n\" select=\"40\"/>"
              "</x:call-template></x:template>"
              "<x:template name=\"f\"><x:param name=\"n\"/><x:if test=\"$n &gt; 0\">"
              "<x:call-template name=\"f\"><x:with-param name=\"n\" select=\"$n - 1\"/></x:call-template>"
              "<x:call-template name=\"f\"><x:with-param name=\"n\" select=\"$n - 1\"/></x:call-template>"
              "</x:if></x:template>"));
  limits.cpu_seconds = 1;
  EXPECT_EQ(file("exponential.xsl", limits).code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("exponential.xsl") + ": the stylesheet ran past its time limit of 1 s");

  // Output beyond its bound.
  write("big.xsl",
        sheet("<x:template match=\"/\"><x:call-template name=\"f\"><x:with-param name=\"n\" "
              "select=\"20\"/></x:call-template></x:template>"
              "<x:template name=\"f\"><x:param name=\"n\"/><x:choose><x:when test=\"$n = 0\">"
              "0123456789</x:when><x:otherwise>"
              "<x:call-template name=\"f\"><x:with-param name=\"n\" select=\"$n - 1\"/></x:call-template>"
              "<x:call-template name=\"f\"><x:with-param name=\"n\" select=\"$n - 1\"/></x:call-template>"
              "</x:otherwise></x:choose></x:template>"));
  limits.cpu_seconds = 5;
  limits.output_bytes = 100000;
  EXPECT_EQ(file("big.xsl", limits).code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("big.xsl") + ": the stylesheet ran past its output limit of 100000 bytes");

  // Whatever crashes the child is told by its signal; here the check.
  write("data.xml", "<d/>");
  write("fetch.xsl",
        sheet("<x:template match=\"/\"><x:copy-of select=\"document('data.xml')\"/></x:template>"));
  check_ = [](const std::string&, std::string&) {
    std::raise(SIGSEGV);
    return true;
  };
  EXPECT_EQ(file("fetch.xsl").code(), kXsltInitFailed);
  EXPECT_EQ(error_, path("fetch.xsl") + ": the stylesheet crashed (signal 11)");

  // The processor goes on as before.
  write("plain.xsl", sheet("<x:template match=\"/\">[<x:value-of select=\"d\"/>]</x:template>"));
  ASSERT_TRUE(file("plain.xsl").ok()) << error_;
  EXPECT_EQ(out_, "[INPUT]");
}

}  // namespace
}  // namespace corvanta
