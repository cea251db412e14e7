// Directory pushes: the SQL built from a pushed document, and the loading of the document itself.
#include "core/Utilities.h"
#include "intake/LogudtSqlBuilder.h"
#include "support/TestHelpers.h"
#include "support/TestInstall.h"
#include "support/TestRecords.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <tinyxml.h>

using namespace rectest;

namespace
{
std::vector<LogudtTable> Tables()
{
    return {{"Admin", {"id", "name", "pgrpid"}},
            {"svpnuser", {"id", "name", "grpid"}},
            {"SVPNUSER", {"id;ulong", "name", "grpid;ushort"}},
            {"svpngroup", {"id", "", "name", "pgrpid"}}};
}

class LogudtSqlBuilderTest : public ::testing::Test
{
protected:
    void SetUp() override { qbtest::InitTestInstall(); }
    std::string Build(const char* table, const std::string& rowXml)
    {
        TiXmlDocument doc;
        doc.Parse(rowXml.c_str());
        std::string sql;
        m_Builder.BuildSql(sql, table, doc.FirstChildElement());
        return sql;
    }
    CLogudtSqlBuilder m_Builder{Tables()};
};

TEST_F(LogudtSqlBuilderTest, ColumnsFollowTheTableDescription)
{
    EXPECT_EQ(Build("svpnuser", "<user grpid=\"3\" name=\"bob\" id=\"7\" extra=\"x\"/>"),
              "insert into svpnuser(`id`,`name`,`grpid`) values ('7','bob','3')");
    // Attribute names match without regard to case; an empty entry in the description is skipped.
    EXPECT_EQ(Build("svpngroup", "<g ID=\"1\" Name=\"ops\" PGRPID=\"0\"/>"),
              "insert into svpngroup(`id`,`name`,`pgrpid`) values ('1','ops','0')");
    // Numbers sent in network order are swapped; an empty text becomes '0'.
    EXPECT_EQ(Build("SVPNUSER", "<u id=\"16777216\" name=\"\" grpid=\"256\"/>"),
              "insert into SVPNUSER(`id`,`name`,`grpid`) values (1,'0',1)");
}

TEST_F(LogudtSqlBuilderTest, MissingAttributeOrUnlistedTableGivesNoStatement)
{
    EXPECT_EQ(Build("svpnuser", "<user id=\"7\" name=\"bob\"/>"), "");
    EXPECT_EQ(Build("svpnrc", "<rc id=\"7\"/>"), "");
    EXPECT_EQ(Build("Svpnuser", "<user id=\"7\" name=\"bob\" grpid=\"1\"/>"), "");
    EXPECT_NE(qbtest::ReadTodayLog().find("[BuildSql] Cannot Find Attribute Name = grpid\n"),
              std::string::npos);
}

TEST_F(LogudtSqlBuilderTest, TextIsAQuotedLiteralThatCannotBreakOut)
{
    std::string sql =
        Build("svpnuser", "<user id=\"1\" name=\"" + qbtest::XmlAttr(TRICKY_NAME) + "\" grpid=\"2\"/>");
    std::string gbkName;
    ASSERT_TRUE(Utf8ToGbkString(TRICKY_NAME.c_str(), gbkName));
    ASSERT_NE(gbkName.find("\x81\x5C"), std::string::npos);
    // Quote and backslash doubled, the GBK character kept whole (its 0x5C not doubled), the double
    // quote left as it is inside the single-quoted literal.
    std::string expected = "o''brien \"x\" a\\\\b \x81\x5C'');drop table svpnuser;--";
    EXPECT_EQ(sql, "insert into svpnuser(`id`,`name`,`grpid`) values ('1','" + expected + "','2')");
}

TEST_F(LogudtSqlBuilderTest, LongTextIsCutWithoutSplittingACharacter)
{
    std::string name(1022, 'a');
    name += GBK_5C_CHAR_UTF8; // the double-byte character would end at byte 1024
    std::string literal = CLogudtSqlBuilder::MakeTextLiteral(name.c_str());
    EXPECT_EQ(literal, "'" + std::string(1022, 'a') + "'");
}

TEST_F(LogudtSqlBuilderTest, UserDocumentStatementsInDocumentOrder)
{
    TiXmlDocument doc;
    doc.Parse("<content><svpngroup><g id=\"1\" name=\"g\" pgrpid=\"0\"/></svpngroup>"
              "<unknown><x id=\"1\"/></unknown>"
              "<SVPNUSER><u id=\"16777216\" name=\"a\" grpid=\"256\"/><u id=\"2\"/></SVPNUSER></content>");
    std::vector<std::string> sql;
    m_Builder.BuildUserInfoStatements(doc.FirstChildElement(), sql);
    std::vector<std::string> expected = {"lock tables svpngroup write",
                                         "delete from svpngroup",
                                         "insert into svpngroup(`id`,`name`,`pgrpid`) values ('1','g','0')",
                                         "unlock tables",
                                         "lock tables SVPNUSER write",
                                         "delete from svpnuser where id>0",
                                         "insert into SVPNUSER(`id`,`name`,`grpid`) values (1,'a',1)",
                                         "",
                                         "unlock tables"};
    EXPECT_EQ(sql, expected);
}

// The parser steps over a multi-byte UTF-8 character at once; a character cut off by the text's end
// made it read past the buffer (found by fuzzing), so such documents are refused before parsing.
TEST_F(LogudtSqlBuilderTest, DocumentEndingInsideACharacterIsRefused)
{
    const std::string file = (std::filesystem::temp_directory_path() / "qb_push_test.xml").string();
    auto load = [&](const std::string& bytes, std::string* name = nullptr)
    {
        FILE* f = fopen(file.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        TiXmlDocument doc;
        bool ok = CLogudtSqlBuilder::LoadDocument(doc, file.c_str());
        if (ok && name != nullptr)
            *name = CLogudtSqlBuilder::FindAttribute(doc.FirstChildElement(), "name");
        return ok;
    };
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><u name='";
    for (const std::string& cut : {std::string("\xF0"), std::string("\xF0\x9F\x98"), std::string("\xE4\xB9"),
                                   std::string("\xC3"), std::string("\xEF")})
    {
        EXPECT_FALSE(load(head + cut)) << "cut at the end";
        EXPECT_FALSE(load(head + cut + std::string(1, '\0') + "'/>")) << "cut by a NUL";
    }
    // "\r\n" becomes one byte before parsing: three bytes after the lead byte in the file, two in the text.
    EXPECT_FALSE(load(head + "\xF0\r\nx"));

    std::string name;
    EXPECT_TRUE(load(head + GBK_5C_CHAR_UTF8 + "\xF0\x9F\x98\x80'/>", &name));
    EXPECT_EQ(name, GBK_5C_CHAR_UTF8 + "\xF0\x9F\x98\x80");
    // A whole document followed by NUL padding still loads, and line ends reach the parser as "\n".
    EXPECT_TRUE(load(head + "a\r\nb\rc'/>" + std::string(16, '\0'), &name));
    EXPECT_EQ(name, "a\nb\nc");
    std::filesystem::remove(file);
}
} // namespace
