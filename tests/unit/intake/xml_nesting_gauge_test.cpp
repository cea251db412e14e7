// The nesting gauge against the XML library itself: for documents built to hide levels from a reading
// that differs from the parser's (quotes where the parser ignores them, markup inside references,
// comments and declarations, white space the parser skips only in UTF-8), the gauge must never say
// less than the depth of the tree the parser builds, and on ordinary documents it says exactly that.
#include "intake/LogudtSqlBuilder.h"
#include "intake/XmlNestingGauge.h"
#include "support/TestInstall.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <tinyxml.h>
#include <vector>

namespace
{
XmlShape TreeShape(const std::string& text)
{
    TiXmlDocument doc;
    doc.Parse(text.c_str());
    return CXmlNestingGauge::ShapeOf(doc);
}
size_t TreeDepth(const std::string& text)
{
    return TreeShape(text).m_Depth;
}

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}
} // namespace

TEST(XmlNestingGauge, OrdinaryDocumentsMeasureExactly)
{
    const std::vector<std::pair<std::string, size_t>> docs = {
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<velmofile><filecontent><CtrlManager>"
         "<r id=\"1\" name=\"a&amp;b &#x4E57; &#20057;\"/><r id='2' name='x>y'/></CtrlManager>"
         "</filecontent></velmofile>",
         4},
        {"\xEF\xBB\xBF<content>\n  <!-- users -->\n  <svpnuser><u id=\"1\"/></svpnuser>\n"
         "  <![CDATA[<not><an><element>]]>text &lt;x&gt;</content>",
         3},
        {"<a><b/><c><d></d></c></a><a2/>", 3},
        {"<a></a>", 1},
        {"", 0},
    };
    for (const auto& [text, depth] : docs)
    {
        const XmlShape measured = CXmlNestingGauge::Measure(text.c_str()), built = TreeShape(text);
        EXPECT_EQ(measured.m_Depth, depth) << text;
        EXPECT_EQ(built.m_Depth, depth) << text;
        EXPECT_EQ(measured.m_MostAttributes, built.m_MostAttributes) << text;
    }
}

TEST(XmlNestingGauge, LevelsHiddenFromOtherReadingsAreCounted)
{
    const int n = 40;
    const std::string utf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    const std::vector<std::string> docs = {
        // "<" not followed by a name runs to the first '>', quotes or not (the fuzz finding).
        "<<grpid=\"a>" + Repeat("<a>", n),
        // A quoted attribute value holds end tags.
        "<r>" + Repeat("<a x=\"</a></r>\">", n),
        "<r>" + Repeat("<a x='</a>' y=z>", n),
        // A comment starts after "<!--": "<!-->" does not end it.
        "<r>" + Repeat("<a><!--></a>-->", n),
        // A declaration inside an element reads its version quoted.
        "<r>" + Repeat("<a><?xml version=\"></a>\"?>", n),
        // A numeric reference is read up to the next ';' when the digits before it are valid.
        "<r>" + Repeat("<a>t&#x</a></a>x1;", n),
        "<r>" + Repeat("<a>t&#</a>#65;", n),
        "<r>" + Repeat("<a x=\"&#x\"></a>x41;\">", n),
        // Declarations and other "<!" tags end at the first '>'.
        "<!DOCTYPE r [<!ENTITY e \"<r>" + Repeat("<a>", n),
        "<r>" + Repeat("<a><![CDATA[</a>]]>", n),
        // White space the parser skips only in UTF-8: with a UTF-8 declaration, a byte-order mark or
        // U+FFFE after a name is skipped; without one, it is a name.
        utf8Declaration + "<r>" + Repeat("<a \xEF\xBF\xBE>", n),
        "\xEF\xBB\xBF<r>" + Repeat("<a\xEF\xBB\xBF>", n),
        "<?xml version=\"1.0\" encoding=\"GBK\"?><r>" + Repeat("<a\xEF\xBF\xBF>", n),
        "<?xml encoding='u&#x54;f-8'?><r>" + Repeat("<a \xEF\xBB\xBF x='1' >", n),
    };
    for (const std::string& text : docs)
    {
        ASSERT_TRUE(CXmlNestingGauge::HasWholeCharacters(text.c_str())) << text;
        const size_t gauge = CXmlNestingGauge::Measure(text.c_str()).m_Depth, tree = TreeDepth(text);
        EXPECT_GE(gauge, tree) << text;
        EXPECT_GE(tree, static_cast<size_t>(n)) << "the document no longer hides levels: " << text;
    }
}

TEST(XmlNestingGauge, MalformedCharactersAreFound)
{
    EXPECT_TRUE(CXmlNestingGauge::HasWholeCharacters("a\xE4\xB9\x97 \xF0\x9F\x98\x80 \xC3\xA9 \x80\xBF"));
    for (const char* text :
         {"a\xF0", "a\xF0\x9F\x98", "\xE4\xB9", "\xC3", "\xE4<a>", "\xC3\"/>", "\xF0\x9F\x98<"})
        EXPECT_FALSE(CXmlNestingGauge::HasWholeCharacters(text)) << text;
}

// Through the builder's checks: too deep or too many attributes is refused, just below either loads.
TEST(XmlNestingGauge, ChecksRefuseDocumentsTooDeepOrWithTooManyAttributes)
{
    qbtest::InitTestInstall();
    auto load = [](const std::string& text)
    {
        TiXmlDocument doc;
        return CLogudtSqlBuilder::ParseDocumentText(doc, text, "test document");
    };
    const size_t cap = CLogudtSqlBuilder::MAX_DOCUMENT_DEPTH;
    EXPECT_FALSE(load("<<grpid=\"a>" + Repeat("<a>", static_cast<int>(cap) + 1)));
    EXPECT_FALSE(load("<r>" + Repeat("<a x=\"</a>\">", static_cast<int>(cap))));
    // Each new attribute is checked against every earlier one of its element (bench/xml_push_bench).
    std::string attributes;
    for (size_t i = 0; i <= CLogudtSqlBuilder::MAX_ELEMENT_ATTRIBUTES; ++i)
        attributes += " a" + std::to_string(i) + "=''";
    EXPECT_FALSE(load("<r><u" + attributes + "/></r>"));
    EXPECT_TRUE(load("<r><u" + attributes.substr(attributes.find(' ', 1)) + "/></r>"));
    EXPECT_TRUE(load("<r>" + Repeat("<a>", static_cast<int>(cap) - 1) +
                     Repeat("</a>", static_cast<int>(cap) - 1) + "</r>"));
}
