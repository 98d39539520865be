// Printout documents inside a service on a copy of the reference
// installation: the header block, documents appended to one file, the
// XML content and its escaping, plain text, lists, the stylesheet chosen
// by style name, language and form, and the codes of missing context.
#include "output/printout.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "records/record.h"
#include "service_fixture.h"

namespace corvanta::testing {
namespace {

class PrintoutTest : public InProcessService {
 protected:
  // Print forms of the titles for the tests: RAW (XML, untransformed),
  // TEXT (plain, with header and closing part), LETTER (HTML without a
  // style name) and MAILED (HTML with a style name, no header text).
  void prepare() override {
    std::string app = inst_.read("etc/library.app");
    const std::string anchor = "FORM=SCAN,PATH=../etc/forms/scan.frm,COLUMNS=ASCANCOL\n";
    const std::size_t at = app.find(anchor);
    ASSERT_NE(at, std::string::npos);
    app.insert(at + anchor.size(),
               "FORM=RAW,TYPE=X\n"
               "FORM=TEXT,TYPE=P,HEAD=YES,PATH=../etc/forms/short.frm,RECFOOT=../etc/forms/list_foot.frm\n"
               "FORM=LETTER,TYPE=H\n"
               "FORM=MAILED,TYPE=H,STYLE=PLAINOUT,COMMAND=viewer\n");
    inst_.write("etc/library.app", app);
    std::string texts = inst_.read("etc/texts.ger");
    texts.insert(texts.find("(Header)\n") + 9, "TEXT=Kurzanzeige & mehr\n");
    inst_.write("etc/texts.ger", texts);
    // A stylesheet that writes the titles as text lines.
    inst_.write("etc/styles/PLAINOUT.xsl",
                "<?xml version=\"1.0\"?>\n"
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:output method=\"text\"/>\n"
                "<xsl:template match=\"/\"><xsl:for-each select=\"//LINE\">[<xsl:value-of "
                "select=\"COL\"/>]</xsl:for-each></xsl:template>\n"
                "</xsl:stylesheet>\n");
  }

  void SetUp() override {
    InProcessService::SetUp();
    // As a login does: the first language of the messages and texts.
    service_->messages.select({});
    service_->texts.select({});
    ASSERT_EQ(service_->pools.select("A-BIB", records::kSelectFind | records::kSelectOpen).code(), 0);
    first_ = add_title("Der Garten & <Winter>");
    second_ = add_title("Nacht");
  }

  std::uint32_t add_title(const std::string& title) {
    records::RecordHandle h;
    records::rec_init(h, 30000, records::kExternalForm);
    records::RecordBuilder b;
    b.field("245", "10");
    b.subfield('a', title);
    EXPECT_EQ(b.build(h).code(), 0);
    const dict::AppPoolDef& pool = *service_->pools.pool();
    EXPECT_EQ(service_->pools.rec_insert(pool, *service_->pools.file()->data, h).code(), 0);
    return h.idn;
  }

  std::string file(const std::string& name) const { return inst_.read("temp/" + name); }
  Printout& prt() { return service_->printout; }

  std::uint32_t first_ = 0;
  std::uint32_t second_ = 0;
};

TEST_F(PrintoutTest, RawXmlDocumentsAppendedToOneFile) {
  ASSERT_EQ(prt().begin("../temp/raw.txt", "RAW").code(), 0);
  EXPECT_EQ(prt().state(), 1);
  ASSERT_EQ(prt().record(first_, nullptr, {}).code(), 0);
  ASSERT_EQ(prt().next("RAW").code(), 0);
  EXPECT_EQ(prt().state(), 2);
  ASSERT_EQ(prt().record(second_, nullptr, {}).code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(prt().state(), 0);
  EXPECT_TRUE(prt().output_path().empty());

  const std::string doc =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
      "<PRINTOUT><REPREC><LINE><COL>245 Der Garten &amp; &lt;Winter&gt;</COL></LINE>\n"
      "</REPREC>\n"
      "</PRINTOUT>\n";
  const std::string out = file("raw.txt");
  // "RAW_XML" carries its own line end: an empty line follows the type.
  ASSERT_EQ(out.substr(0, 14), "## - RAW_XML\n\n");
  EXPECT_EQ(out.substr(14, doc.size()), doc);
  EXPECT_NE(out.find("## - RAW_XML\n\n<?xml", 14), std::string::npos) << out;
  EXPECT_NE(out.find("<COL>245 Nacht</COL>"), std::string::npos) << out;
}

TEST_F(PrintoutTest, EscapingOfText) {
  std::string out;
  Printout::append_escaped(out, "\"a\" & 'b' <c> ## # x");
  EXPECT_EQ(out, "&quot;a&quot; &amp; &apos;b&apos; &lt;c&gt; <LF /> # x");
}

TEST_F(PrintoutTest, PlainTextWithHeaderAndClosingPart) {
  // A record outside a document makes one of its own, which needs an
  // output path.
  EXPECT_EQ(prt().record(first_, nullptr, "TEXT").code(), kPrintNoFileOrPath);
  EXPECT_EQ(prt().state(), 0);
  ASSERT_EQ(prt().begin("../temp/plain.txt", "TEXT").code(), 0);
  ASSERT_EQ(prt().set(kPrintPreview, {}).code(), 0);
  ASSERT_EQ(prt().record(first_, nullptr, {}).code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(file("plain.txt"),
            "## - PLAIN\n"
            "## - PREVIEW\n"
            "Kurzanzeige & mehr\n"
            "Titel: Der Garten & <Winter>\n"
            "Satznummer: " +
                std::to_string(first_) +
                "\n"
                "Ende der Liste\n");
}

TEST_F(PrintoutTest, StylesheetByFormStyleAndLanguage) {
  // Without a style name the file code and the form name make it:
  // BIB_LETTER, first in the language's folder.
  EXPECT_EQ(prt().check("LETTER", true).code(), kPrintNoStylesheet);
  ASSERT_EQ(prt().begin("../temp/letter.txt", "LETTER").code(), 0);
  ASSERT_EQ(prt().record(first_, nullptr, {}).code(), 0);
  EXPECT_EQ(prt().close().code(), kPrintNoStylesheet);
  EXPECT_FALSE(std::filesystem::exists(inst_.path("temp/letter.txt")));

  const std::string sheet = inst_.read("etc/styles/PLAINOUT.xsl");
  inst_.write("etc/styles/BIB_LETTER.xsl", sheet);
  std::filesystem::create_directories(inst_.path("etc/styles/GER"));
  std::string german = sheet;
  german.replace(german.find("]"), 1, "]!");
  inst_.write("etc/styles/GER/BIB_LETTER.xsl", german);
  EXPECT_EQ(prt().check("LETTER", true).code(), 0);
  ASSERT_EQ(prt().begin("../temp/letter.txt", "LETTER").code(), 0);
  ASSERT_EQ(prt().record(second_, nullptr, {}).code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(file("letter.txt"), "## - HTML\n[245 Nacht]!");

  // The form's program and style name; a stylesheet that is not XML fails
  // the document, which is not written, with the processor's message.
  ASSERT_EQ(prt().begin("../temp/mailed.txt", "MAILED").code(), 0);
  ASSERT_EQ(prt().record(second_, nullptr, {}).code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(file("mailed.txt"), "## - HTML\n## - EXECUTE viewer\n[245 Nacht]");
  inst_.write("etc/styles/PLAINOUT.xsl", "<xsl:stylesheet");
  ASSERT_EQ(prt().begin("../temp/broken.txt", "MAILED").code(), 0);
  EXPECT_EQ(prt().close().code(), kPrintNoProcessor);
  EXPECT_FALSE(std::filesystem::exists(inst_.path("temp/broken.txt")));
  EXPECT_NE(prt().last_error().find("SAXParseException"), std::string::npos) << prt().last_error();
}

// Values of the header block stay on their line, and bytes that are not
// UTF-8 do not spoil the XML.
TEST_F(PrintoutTest, HeaderLinesAndTextCannotBeForged) {
  ASSERT_EQ(prt().begin("../temp/forged.txt", "RAW").code(), 0);
  ASSERT_EQ(prt().set(kPrintEmail, "a@example.org\n## - EXECUTE /bin/sh").code(), 0);
  ASSERT_EQ(prt().set(kPrintSubject, "Hallo\r\nWelt").code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(
      file("forged.txt").substr(0, 93),
      "## - RAW_XML\n\n## - EMAIL_ADDRESS a@example.org ## - EXECUTE /bin/sh\n## - SUBJECT Hallo  Welt\n");
  std::string out;
  Printout::append_escaped(out, "M\xfcller M\xc3\xbcller \x01it's##\xe2\x82");
  EXPECT_EQ(out, "M\xef\xbf\xbdller M\xc3\xbcller \xef\xbf\xbdit&apos;s<LF />\xef\xbf\xbd\xef\xbf\xbd");
}

TEST_F(PrintoutTest, EmailSubjectDefaults) {
  // A form without a header text takes the subject of MAILSUBJECT.
  ASSERT_EQ(prt().begin("../temp/mail.txt", "RAW").code(), 0);
  ASSERT_EQ(prt().set(kPrintEmail, "leser@example.org").code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(file("mail.txt").substr(0, 110),
            "## - RAW_XML\n\n## - EMAIL_ADDRESS leser@example.org\n"
            "## - SUBJECT Nachricht Ihrer Stadtbibliothek Beispielstadt\n");
  // One with a header text, and a subject set takes precedence.
  ASSERT_EQ(prt().begin("../temp/mail2.txt", "TEXT").code(), 0);
  ASSERT_EQ(prt().set(kPrintEmail, "leser@example.org").code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_NE(file("mail2.txt").find("## - SUBJECT Kurzanzeige & mehr\n"), std::string::npos);
  ASSERT_EQ(prt().begin("../temp/mail3.txt", "TEXT").code(), 0);
  ASSERT_EQ(prt().set(kPrintSubject, "Ihre Bestellung").code(), 0);
  ASSERT_EQ(prt().set(kPrintEmail, "leser@example.org").code(), 0);
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_NE(file("mail3.txt").find("## - SUBJECT Ihre Bestellung\n"), std::string::npos);
}

TEST_F(PrintoutTest, ListPassesOverUnreadableRecords) {
  ASSERT_EQ(prt().set(kPrintPath, "../temp/list.txt").code(), 0);
  ASSERT_EQ(prt().set(kPrintXml, {}).code(), 0);
  ASSERT_EQ(prt().list({first_, 999999, second_}, "PRINTLIST").code(), 0);
  const std::string out = file("list.txt");
  EXPECT_NE(out.find("<PRINTOUT><LINE><COL>Titelliste, 3 Titel</COL></LINE>\n<REPLIST><ENTRY><REPREC>"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("999999"), std::string::npos) << out;
  EXPECT_NE(out.find("<COL>3</COL><COL>Nacht</COL>"), std::string::npos) << out;  // @NO counts the unread one
  EXPECT_NE(out.find("</REPLIST>\n<LINE><COL>Ende der Liste</COL></LINE>\n</PRINTOUT>"), std::string::npos)
      << out;
}

TEST_F(PrintoutTest, MissingContextGivesItsCode) {
  EXPECT_EQ(prt().begin("../temp/x.txt", "NOSUCH").code(), kPrintNoForm);
  EXPECT_EQ(prt().set(kPrintPath, {}).code(), 0);  // a new temporary name in Temp
  EXPECT_EQ(prt().output_path().rfind("../temp/prt", 0), 0u) << prt().output_path();
  ASSERT_EQ(prt().close().code(), 0);
  EXPECT_EQ(prt().next("RAW").code(), kPrintNoFileOrPath);
  ASSERT_EQ(prt().begin("../temp/x.txt", "RAW").code(), 0);
  EXPECT_EQ(prt().record(424242, nullptr, {}).code(), kPrintCannotRead);
  // An output directory that is not there.
  ASSERT_EQ(prt().set(kPrintPath, "../nowhere/x.txt").code(), 0);
  ASSERT_EQ(prt().begin({}, "RAW").code(), 0);
  EXPECT_EQ(prt().close().code(), kPrintCannotWrite);
  EXPECT_EQ(prt().probe("../nowhere/x.txt").code(), kPrintCannotWrite);
  EXPECT_EQ(prt().probe("../temp/x.txt").code(), 0);
  service_->pools.clear();
  EXPECT_EQ(prt().begin("../temp/x.txt", {}).code(), kPrintNoPool);
}

}  // namespace
}  // namespace corvanta::testing
