#include "config/dictionary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "config/dict_keywords.h"
#include "config/dict_reader.h"
#include "scratch_dir.h"

namespace corvanta::dict {
namespace {

// Dictionary files in a temporary directory; loads capture what is printed.
class DictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = corvanta::testing::make_scratch_dir("dict"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string file(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  // Loads data (and, when given, application) dictionaries with printing
  // on; returns the code, the printed text goes to printed_.
  ResultCode load(const std::string& data_text, const std::string& appl_text = "") {
    std::FILE* out = std::tmpfile();
    ResultCode rc = data_.load({file("d.dic", data_text)}, ErrorOutput{out});
    if (rc.ok() && !appl_text.empty()) rc = appl_.load({file("a.app", appl_text)}, data_, ErrorOutput{out});
    std::rewind(out);
    printed_.clear();
    int c;
    while ((c = std::getc(out)) != EOF) printed_ += static_cast<char>(c);
    std::fclose(out);
    return rc;
  }

  std::string dir_;
  std::string printed_;
  DataDictionary data_;
  ApplDictionary appl_;
};

TEST(Keywords, TableOrderAndPrefixMatching) {
  EXPECT_EQ(keyword_text(Kw::POOL), "POOL=");
  EXPECT_EQ(static_cast<int>(Kw::REFFORM), 147);
  EXPECT_EQ(keyword_text(Kw::REFFORM), "REFFORM=");
  EXPECT_EQ(static_cast<int>(Kw::INDEXLEN), 18);
  EXPECT_EQ(static_cast<int>(Kw::USERPERM), 127);
  EXPECT_EQ(match_keyword("INDEXLEN=4"), Kw::INDEXLEN);
  EXPECT_EQ(match_keyword("INDEX=4"), Kw::INDEX);
  EXPECT_EQ(match_keyword("SORT2=x"), Kw::SORT2);
  EXPECT_EQ(match_keyword("INDIC1=a"), Kw::INDIC1);
  EXPECT_EQ(match_keyword("pool=A"), std::nullopt);  // exact in case
  EXPECT_EQ(match_keyword("POOL"), std::nullopt);
  for (int i = 0; i < static_cast<int>(kKeywordCount); ++i) {
    const Kw kw = static_cast<Kw>(i);
    EXPECT_EQ(match_keyword(std::string(keyword_text(kw)) + "1"), kw) << keyword_text(kw);
  }
}

TEST(Values, Forms) {
  EXPECT_EQ(value_number("42abc"), 42u);
  EXPECT_EQ(value_number("X1f"), 31u);
  EXPECT_EQ(value_number("x10", false), 0u);
  EXPECT_EQ(value_number("abc"), 0u);
  EXPECT_EQ(value_u16("999999"), 65535u);
  EXPECT_EQ(value_char("'a'"), 'a');
  EXPECT_EQ(value_char("#065"), 'A');
  EXPECT_EQ(value_char("#06"), '#');  // fewer than three digits: the "#" itself
  EXPECT_EQ(value_char(";"), ';');
  EXPECT_EQ(value_char(""), std::nullopt);
  EXPECT_EQ(value_name("ABC DEF", 10), "ABC");
  EXPECT_EQ(value_name("'two words'", 20), "two words");
  EXPECT_EQ(value_name("'it''s'", 20), "it's");
  EXPECT_EQ(value_name("LONGERNAME", 4), "LONG");
  EXPECT_EQ(value_name("A:B", 4), "A");
  EXPECT_EQ(value_word("A:B C", 10), "A:B");
  EXPECT_EQ(value_mask("0"), 0);
  EXPECT_EQ(value_mask("ALL"), 255);
  EXPECT_EQ(value_mask("1+2"), 3);
  EXPECT_EQ(value_mask("1 8"), 129);
  EXPECT_EQ(value_mask("9"), std::nullopt);
  EXPECT_EQ(value_mask("12"), std::nullopt);
  EXPECT_EQ(value_mask(""), std::nullopt);
  const auto dt = value_type("DATETIME");
  ASSERT_TRUE(dt);
  EXPECT_EQ(dt->code, 6);
  const auto num = value_type("NUMBER(8:2)");
  ASSERT_TRUE(num);
  EXPECT_EQ(num->code, 4);
  EXPECT_EQ(num->length, 8);
  EXPECT_EQ(num->decimals, 2);
  EXPECT_TRUE(value_type("LINK")->link);
  EXPECT_EQ(value_type("LINK")->code, 2);
  EXPECT_EQ(value_type("MAIN")->code, 0);
  EXPECT_TRUE(value_type("YEAR(4)")->year);
  EXPECT_EQ(value_type("TEXT"), std::nullopt);
  std::uint16_t occ = 0;
  EXPECT_EQ(value_tag("700(*)", 3, occ), "700");
  EXPECT_EQ(occ, 100);
  EXPECT_EQ(value_tag("245(5)", 3, occ), "245");
  EXPECT_EQ(occ, 5);
  EXPECT_EQ(value_tag("24", 3, occ), std::nullopt);
  EXPECT_EQ(value_tag("245x", 3, occ), std::nullopt);
}

TEST(Elements, Parse) {
  const auto e = parse_element("700/1 .2$a.3");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->tag, "700");
  EXPECT_EQ(e->indicators, "1 ");
  EXPECT_EQ(e->field_occurrence, 2);
  EXPECT_EQ(e->subfield, 'a');
  EXPECT_EQ(e->subfield_occurrence, 3);
  EXPECT_EQ(parse_element("BOR$L")->subfield, 'L');
  EXPECT_EQ(parse_element("103")->subfield, 0);
  EXPECT_EQ(parse_element("10"), std::nullopt);
  EXPECT_EQ(parse_element("245$"), std::nullopt);
  EXPECT_EQ(parse_element("245.x"), std::nullopt);
}

TEST_F(DictionaryTest, PoolMasksAndDefaults) {
  ASSERT_EQ(load("POOL=B,ACCDEL=1+2\n").code(), 0) << printed_;
  const PoolDef* b = data_.find_pool("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->access_delete, 3);
  EXPECT_EQ(b->access_display, 255);
  EXPECT_EQ(b->access_insert, 255);
  EXPECT_EQ(b->access_update, 255);
  EXPECT_EQ(printed_, "");
}

TEST_F(DictionaryTest, ContinuationLinesAndSkippedLines) {
  ASSERT_EQ(load("* comment\n"
                 "POOL=B,\n"
                 "\tINDEXBUF=7,\n"
                 "* a comment inside the statement\n"
                 "  DATABUF=8\n"
                 "whatever this is\n"
                 " indented line outside a statement\n"
                 "POOL=C,\n"
                 "\n"
                 "\tINDEXBUF=5\n")
                .code(),
            0)
      << printed_;
  const PoolDef* b = data_.find_pool("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->index_buffers, 7);
  EXPECT_EQ(b->data_buffers, 8);
  EXPECT_EQ(data_.find_pool("C")->index_buffers, 0);  // an empty line ends the statement

  // A line in column 1 ends the statement; a keyword there that is no
  // statement kind of the dictionary is an error.
  EXPECT_EQ(load("POOL=X\n").code(), 0);  // loaded already: nothing happens
  EXPECT_EQ(data_.find_pool("X"), nullptr);
  data_.release();
  EXPECT_EQ(load("POOL=B,\nSETUP=9\n").code(), kWrongStatement);
  EXPECT_NE(printed_.find("LINE 2:\n SETUP=9"), std::string::npos);
}

TEST_F(DictionaryTest, FilesAndTheirRules) {
  ASSERT_EQ(load("POOL=B,FILE=F\n"
                 "(F)\n"
                 "FILE=1,TYPE=RECORD:MAIN,TAG=T,INDEXLEN=4:V\n"
                 "FILE=2,TYPE=LIST,INDEXLEN=60:VAR,DATALEN=99\n"
                 "FILE=3,TYPE=RECORD:SUB,MAIN=1,DATALEN=40000:F\n"
                 "FILE=4,TYPE=DATA,INDEXDAT=12\n"
                 "(T)\n"
                 "TAG=245,SUB=S,INDIC=YES\n"
                 "TAG=700(*),TYPE=CHAR(40)\n"
                 "(S)\n"
                 "SUB=a,TYPE=CHAR\n"
                 "SUB=b(3)\n")
                .code(),
            0)
      << printed_;
  const PoolDef* b = data_.find_pool("B");
  ASSERT_EQ(b->file_defs.size(), 4u);
  const FileDef* f1 = b->find_file(1);
  EXPECT_EQ(f1->role, Role::Main);
  EXPECT_FALSE(f1->fixed_keys);
  EXPECT_EQ(f1->index_data_length, 0);
  ASSERT_EQ(f1->tags.size(), 2u);
  EXPECT_TRUE(f1->find_tag("245")->indicators);
  EXPECT_EQ(f1->find_tag("245")->subfields.size(), 2u);
  EXPECT_EQ(f1->find_tag("245")->find_subfield('b')->max_occurrence, 3);
  EXPECT_EQ(f1->find_tag("700")->max_occurrence, 100);
  EXPECT_EQ(f1->find_tag("700")->type.length, 40);
  const FileDef* f2 = b->find_file(2);
  EXPECT_EQ(f2->organisation, Organisation::List);
  EXPECT_EQ(f2->data_length, 0u);
  EXPECT_EQ(f2->item_length, 4);
  EXPECT_EQ(f2->index_data_length, 4);
  const FileDef* f3 = b->find_file(3);
  EXPECT_EQ(f3->main_file, 1);
  EXPECT_EQ(f3->data_length, 30000u);
  EXPECT_TRUE(f3->fixed_data);
  EXPECT_EQ(b->find_file(4)->index_data_length, 12);
}

TEST_F(DictionaryTest, StatementErrorsArePrintedAndFailTheLoad) {
  const ResultCode rc = load(
      "POOL=B,FILE=F,BOGUS=1\n"
      "POOL=C,COLOR=1\n"
      "(F)\n"
      "FILE=1,INDEXLEN=300\n"
      "FILE=2,MAIN=1\n"
      "FILE=1000\n"
      "FORM=X\n"
      "TAG=24\n"
      "TAG=245,TYPE=TEXT\n"
      "POOL=D,ACCDIS=9\n");
  EXPECT_EQ(rc.code(), kWrongKeyword);  // the first error's code
  EXPECT_NE(printed_.find("\nERROR-145 IN " + dir_ + "/d.dic LINE 2:\n POOL=C,COLOR=1"), std::string::npos)
      << printed_;
  EXPECT_NE(printed_.find("LINE 4:\n FILE=1,INDEXLEN=300"), std::string::npos);
  EXPECT_NE(printed_.find("LINE 5:\n FILE=2,MAIN=1"), std::string::npos);
  EXPECT_NE(printed_.find("LINE 6:\n FILE=1000"), std::string::npos);
  EXPECT_NE(printed_.find("\nERROR-144 IN " + dir_ + "/d.dic LINE 7:\n FORM=X"), std::string::npos);
  EXPECT_NE(printed_.find("LINE 8:\n TAG=24"), std::string::npos);
  EXPECT_NE(printed_.find("LINE 9:\n TAG=245,TYPE=TEXT"), std::string::npos);
  EXPECT_NE(printed_.find("LINE 10:\n POOL=D,ACCDIS=9"), std::string::npos);
  EXPECT_EQ(printed_.find("LINE 1:"), std::string::npos);  // BOGUS=1 is no keyword: skipped
  EXPECT_FALSE(data_.loaded());
  EXPECT_TRUE(data_.pools().empty());  // the set is released
}

TEST_F(DictionaryTest, WithoutPrintingTheFirstErrorEndsTheLoad) {
  DataDictionary quiet;
  EXPECT_EQ(quiet.load({file("q.dic", "POOL=C,COLOR=1\nFORM=X\n")}, ErrorOutput{}).code(), kWrongKeyword);
  EXPECT_EQ(quiet.load({dir_ + "/missing.dic"}, ErrorOutput{}).code(), kCannotOpen);
}

TEST_F(DictionaryTest, MissingAndAmbiguousLabels) {
  EXPECT_EQ(load("POOL=B,FILE=NOFILES\n(X)\nFILE=1\n(X)\nFILE=2\n").code(), kUndefinedLabel);
  EXPECT_NE(printed_.find("\nLABEL NOFILES NOT DEFINED"), std::string::npos) << printed_;
  EXPECT_NE(printed_.find("\nLABEL X AMBIGUOUS"), std::string::npos);

  // A label whose group lacks the definition a reference needs.
  EXPECT_EQ(load("POOL=B,FILE=F\n(F)\nFILE=1,INDEX=I\n(I)\nINDEX=1,TERM=F,FILE=1\n").code(), kUndefinedLabel);
  EXPECT_NE(printed_.find("\nLABEL F NOT DEFINED"), std::string::npos) << printed_;

  EXPECT_EQ(load("POOL=B,FILE=F\n(F)\nFILE=1,INDEX=I\n(I)\nINDEX=1,FILE=7\n").code(), kUndefinedLabel);
  EXPECT_NE(printed_.find("\nFILE 7 NOT DEFINED"), std::string::npos) << printed_;
}

TEST_F(DictionaryTest, StatementsAttachToThePrecedingPoolAndFile) {
  ASSERT_EQ(load("POOL=B\n"
                 "FILE=1\n"
                 "TAG=100\n"
                 "TAG=200\n"
                 "INDEX=1,FILE=2,TERM=W,SOURCE=100\n"
                 "FILE=2,TYPE=LIST\n"
                 "TAG=300\n"
                 "(W)\n"
                 "TERM=1,TYPE=IDLIST,MAXLEN=999,FILL=HIGH,ALIGN=RIGHT,STOP=12:3\n")
                .code(),
            0)
      << printed_;
  const PoolDef* b = data_.find_pool("B");
  ASSERT_EQ(b->file_defs.size(), 2u);
  EXPECT_EQ(b->find_file(1)->tags.size(), 2u);
  EXPECT_EQ(b->find_file(2)->tags.size(), 1u);
  const IndexDef* x = b->find_file(1)->find_index(1);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->list_file, b->find_file(2));
  ASSERT_NE(x->term_def, nullptr);
  EXPECT_EQ(x->term_def->type, TermType::IdList);
  EXPECT_EQ(x->term_def->max_length, 240);
  EXPECT_EQ(x->term_def->fill, static_cast<char>(0xFF));
  EXPECT_EQ(x->term_def->align, Align::Right);
  EXPECT_EQ(x->term_def->stop_file, 12);
  EXPECT_EQ(x->term_def->stop_list, 3);
}

TEST_F(DictionaryTest, YearTermsPartSourcesFallbacksAndDuplicateKeys) {
  ASSERT_EQ(load("POOL=B\n"
                 "FILE=1,DOUBLE=D\n"
                 "INDEX=10,FILE=2,TERM=Y,SOURCE=008,OFFSET=7,LENG=4,ELSE=260$c,ELSE=264/_1$c\n"
                 "INDEX=11,FILE=2,TERM=Y,SOURCE=245$a\n"
                 "FILE=2,TYPE=LIST\n"
                 "(Y)\n"
                 "TERM=6,TYPE=YEAR,MAXLEN=9,ALIGN=RIGHT,FILL=0\n"
                 "(D)\n"
                 "DOUBLE=K1,FOUND=COMPARE\n"
                 "DOUBLE=K2,FOUND=TERMS,NOTFND=NO,ELSE=YES\n"
                 "(K1)\nTAG=020\n(K2)\nTAG=245\nTAG=008\n")
                .code(),
            0)
      << printed_;
  const dict::FileDef* f = data_.find_pool("B")->find_file(1);
  const IndexDef* year = f->find_index(10);
  ASSERT_NE(year, nullptr);
  EXPECT_EQ(year->term_def->type, TermType::Year);
  EXPECT_EQ(year->source.tag, "008");
  EXPECT_EQ(year->offset, 7);
  EXPECT_EQ(year->length, 4);
  ASSERT_EQ(year->fallbacks.size(), 2u);
  EXPECT_EQ(year->fallbacks[0].tag, "260");
  EXPECT_EQ(year->fallbacks[0].subfield, 'c');
  EXPECT_EQ(year->fallbacks[1].indicators, "_1");
  EXPECT_TRUE(f->find_index(11)->fallbacks.empty());  // without ELSE= as before
  EXPECT_EQ(f->find_index(11)->length, 0);
  ASSERT_EQ(f->doubles.size(), 2u);
  EXPECT_EQ(f->doubles[0]->found, 'C');
  EXPECT_EQ(f->doubles[0]->not_found, 'C');
  EXPECT_FALSE(f->doubles[0]->fallback);
  EXPECT_EQ(f->doubles[1]->found, 'T');
  EXPECT_EQ(f->doubles[1]->not_found, 'N');
  EXPECT_TRUE(f->doubles[1]->fallback);
  EXPECT_EQ(f->doubles[1]->tags.size(), 2u);

  // An ELSE= that names no element, and a FOUND= of no kind, are refused.
  for (const char* wrong : {"POOL=B\nFILE=1\nINDEX=1,FILE=2,ELSE=24\n", "POOL=B\nFILE=1\nINDEX=1,ELSE=$a\n",
                            "POOL=B\nFILE=1,DOUBLE=D\n(D)\nDOUBLE=K,FOUND=MAYBE\n"}) {
    DataDictionary quiet;
    EXPECT_EQ(quiet.load({file("w.dic", wrong)}, ErrorOutput{}).code(), kWrongKeyword) << wrong;
  }
}

TEST_F(DictionaryTest, ApplicationDictionary) {
  const std::string data =
      "POOL=LIB,FILE=F\n(F)\nFILE=1,LINK=L\nFILE=2\n(L)\nLINK=4,NAME=MEX,FILE=2,LINKTAG=E,SUPPRESS=Y\n"
      "(E)\nLINKTAG=BIB$L,TEXT=BIB$a,SUBLINK=ab\n";
  ASSERT_EQ(load(data,
                 "INDIC=YES\n"
                 "POOL=A,DEFIN=LIB,FILE=AF,INFO='BIBLS=BIBLS',MAXLIST=9\n"
                 "(AF)\n"
                 "FILE=BIBLS,NAME=BIB,NUMBER=1,INDEX=AS,FORM=FM\n"
                 "FILE=ITEMS,NUMBER=2\n"
                 "(AS)\n"
                 "INDEX=TIT,NUMBER=3,LIST=YES\n"
                 "(FM)\n"
                 "FORM=DEFAULT-1,COLUMNS=C\n"
                 "(C)\n"
                 "COLUMN=7,SIGN=R,ATTRIB=B,CODE=XY,NAME=ZZZ,WIDTH=50,TYPE=BMP\n")
                .code(),
            0)
      << printed_;
  const AppPoolDef* a = appl_.find_pool("A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(appl_.find_pool(""), a);
  EXPECT_EQ(appl_.find_pool("a"), nullptr);  // exact case
  EXPECT_EQ(a->long_name, "A");
  EXPECT_EQ(a->max_list, 9);
  EXPECT_EQ(a->data, data_.find_pool("LIB"));
  const AppFileDef* bib = ApplDictionary::find_file(*a, "BIBLS");
  ASSERT_NE(bib, nullptr);
  EXPECT_EQ(ApplDictionary::find_file(*a, "BIB"), bib);
  EXPECT_EQ(ApplDictionary::find_file(*a, "ITE")->name, "ITEMS");
  EXPECT_EQ(bib->data, data_.find_pool("LIB")->find_file(1));
  EXPECT_TRUE(bib->find_aspect("TIT")->word_wise);
  const FormDef* form = bib->find_form("DEFAULT-1");
  ASSERT_NE(form, nullptr);
  ASSERT_EQ(form->column_defs.size(), 1u);
  EXPECT_EQ(form->column_defs[0]->code2, "XY");
  EXPECT_EQ(ApplDictionary::pool_property(*a, "BIBLS"), "BIBLS");
  EXPECT_EQ(ApplDictionary::pool_property(*a, "OTHER"), std::nullopt);
  const ColumnDef* col = appl_.display_definition(7);
  ASSERT_NE(col, nullptr);
  EXPECT_EQ(col->row_type, 'R');
  EXPECT_EQ(col->type, "BMP");
  const LinkDef* mex = bib->data->find_link("MEX");
  ASSERT_NE(mex, nullptr);
  EXPECT_TRUE(mex->tolerant);
  ASSERT_EQ(mex->elements.size(), 1u);
  EXPECT_EQ(mex->elements[0]->text.subfield, 'a');

  mark_bibliographic_files(appl_);
  EXPECT_TRUE(bib->data->bibliographic);
  EXPECT_FALSE(ApplDictionary::find_file(*a, "ITEMS")->data->bibliographic);
}

TEST_F(DictionaryTest, ApplicationChecksAgainstTheData) {
  ApplDictionary alone;
  DataDictionary empty;
  EXPECT_EQ(alone.load({}, empty, ErrorOutput{}).code(), kMissingArgument);
  EXPECT_EQ(load("POOL=LIB\nFILE=1\n", "POOL=A,DEFIN=NONE\n").code(), kUndefinedLabel);
  EXPECT_NE(printed_.find("\nPOOL NONE NOT DEFINED"), std::string::npos);
  data_.release();
  EXPECT_EQ(load("POOL=LIB\nFILE=1\n", "POOL=LIB\nFILE=BIBLS,NUMBER=5\nTAG=X\n").code(), kWrongKeyword);
}

// The worked example of the dictionary documentation loads as it stands.
TEST_F(DictionaryTest, DocumentedExampleLoads) {
  const std::string dic =
      "* b.dic\n"
      "POOL=B,FILE=BFILES\n"
      "(BFILES)\n"
      "FILE=1,TYPE=RECORD:NORM,TAG=BTAGS,INDEX=BIDX\n"
      "FILE=2,TYPE=LIST,INDEXLEN=60:VAR\n"
      "(BTAGS)\n"
      "TAG=100,SUB=BNAME\n"
      "TAG=245,SUB=BTITLE,INDIC=YES\n"
      "(BNAME)\n"
      "SUB=a\n"
      "(BTITLE)\n"
      "SUB=a\n"
      "SUB=b\n"
      "(BIDX)\n"
      "INDEX=1,FILE=2,TERM=BWORDS,SOURCE=245$a\n"
      "(BWORDS)\n"
      "TERM=1,TYPE=ASCII,MINLEN=2,MAXLEN=60\n";
  const std::string app =
      "* b.app\n"
      "POOL=B,LONG='Kleine Bibliothek',FILE=BAPP\n"
      "(BAPP)\n"
      "FILE=BIBLS,NAME=BIB,NUMBER=1,INDEX=BASP,FORM=BFORMS\n"
      "(BASP)\n"
      "INDEX=TIT,NUMBER=1,LIST=YES\n"
      "(BFORMS)\n"
      "FORM=DEFAULT-1,COLUMNS=BCOLS\n"
      "(BCOLS)\n"
      "COLUMN=1,WIDTH=100\n";
  ASSERT_EQ(load(dic, app).code(), 0) << printed_;
  EXPECT_EQ(printed_, "");
  const AppFileDef* bib = ApplDictionary::find_file(*appl_.find_pool("B"), "BIB");
  ASSERT_NE(bib, nullptr);
  EXPECT_EQ(bib->data->find_index(1)->list_file->number, 2);
}

// The reference installation's dictionaries load without a single message.
TEST_F(DictionaryTest, ReferenceLibraryLoadsCleanly) {
  std::FILE* out = std::tmpfile();
  ASSERT_EQ(data_.load({CORVANTA_DEMO "/etc/library.dic"}, ErrorOutput{out}).code(), 0);
  ASSERT_EQ(appl_.load({CORVANTA_DEMO "/etc/library.app"}, data_, ErrorOutput{out}).code(), 0);
  EXPECT_EQ(std::ftell(out), 0);
  std::fclose(out);
  const AppPoolDef* a = appl_.find_pool("A");
  ASSERT_NE(a, nullptr);
  for (const char* name : {"BIBLS", "ITEMS", "LOANS", "USERS", "ADDRS", "ORDER", "VENDR", "VENAD"}) {
    const AppFileDef* f = ApplDictionary::find_file(*a, name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_NE(f->data, nullptr) << name;
    EXPECT_NE(f->find_form("DEFAULT-1"), nullptr) << name;
  }
  EXPECT_NE(ApplDictionary::find_file(*a, "LOANS")->find_aspect("DDT"), nullptr);
  EXPECT_NE(ApplDictionary::find_file(*a, "ORDER")->find_aspect("CLD"), nullptr);
  const FileDef* loans = ApplDictionary::find_file(*a, "LOANS")->data;
  EXPECT_NE(loans->find_link("BOR"), nullptr);
  EXPECT_NE(loans->find_tag("103"), nullptr);
  EXPECT_EQ(a->data->setup, 9);
  EXPECT_EQ(a->data->user_permissions, 11);
}

}  // namespace
}  // namespace corvanta::dict
