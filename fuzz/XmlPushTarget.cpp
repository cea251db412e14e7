// Directory pushes: the input is the document a device pushes (first byte: administrators or users),
// loaded as the record task loads it and turned into the SQL that replaces the directory tables.
//
// Checked: every statement, read as GBK text the way the server reads it after "set names gbk", closes
// every string literal it opens and holds no NUL byte, so no pushed text can end a literal early; and
// the tree the parser built nests no deeper, and has no element with more attributes, than the nesting
// gauge measured beforehand.
#include "fuzz/FuzzEnv.h"

#include "config/ConfigManager.h"
#include "intake/LogudtSqlBuilder.h"
#include "intake/XmlNestingGauge.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <tinyxml.h>
#include <unistd.h>
#include <vector>

namespace qbfuzz
{
namespace
{
void CheckStatement(const std::string& s)
{
    bool inString = false;
    for (size_t i = 0; i < s.size(); ++i)
    {
        unsigned char c = static_cast<unsigned char>(s[i]);
        QB_FUZZ_CHECK(c != 0);
        if (!inString)
        {
            if (c == '\'')
                inString = true;
            continue;
        }
        if (c >= 0x81 && c <= 0xFE && i + 1 < s.size())
        {
            unsigned char t = static_cast<unsigned char>(s[i + 1]);
            if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE))
            {
                ++i; // a double-byte character: its trail byte is never a quote or a backslash
                continue;
            }
        }
        if (c == '\\')
        {
            QB_FUZZ_CHECK(i + 1 < s.size());
            ++i;
        }
        else if (c == '\'')
        {
            if (i + 1 < s.size() && s[i + 1] == '\'')
                ++i;
            else
                inString = false;
        }
    }
    QB_FUZZ_CHECK(!inString);
}

// The administrators' document: filecontent / CtrlManager|CtrlGroup / rows, as the task walks it.
void BuildAdminStatements(const CLogudtSqlBuilder& builder, const TiXmlElement* root,
                          std::vector<std::string>& statements)
{
    if (!CLogudtSqlBuilder::NameBeginsWith(root->Value(), "velmofile"))
        return;
    for (const TiXmlElement* content = root->FirstChildElement(); content != nullptr;
         content = content->NextSiblingElement())
    {
        if (!CLogudtSqlBuilder::NameBeginsWith(content->Value(), "filecontent"))
            continue;
        for (const TiXmlElement* e = content->FirstChildElement(); e != nullptr; e = e->NextSiblingElement())
        {
            const char* table = nullptr;
            if (CLogudtSqlBuilder::NameBeginsWith(e->Value(), "CtrlManager"))
                table = "Admin";
            else if (CLogudtSqlBuilder::NameBeginsWith(e->Value(), "CtrlGroup"))
                table = "admingroup";
            if (table != nullptr && builder.FindTable(table) != nullptr)
                builder.BuildTableStatements(table, e, statements);
        }
    }
}
} // namespace

int FuzzXmlPush(const uint8_t* data, size_t size)
{
    const std::string& dir = InitFuzzEnv();
    if (size < 1)
        return 0;
    const bool admin = (data[0] & 1) == 0;
    // The task loads the document from the file it wrote the record's bytes to.
    static const std::string file = dir + "/Kelv/Temp/fuzz_push.xml";
    FILE* f = fopen(file.c_str(), "wb");
    QB_FUZZ_CHECK(f != nullptr);
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);

    std::string text;
    QB_FUZZ_CHECK(CLogudtSqlBuilder::ReadDocumentText(file.c_str(), text));
    TiXmlDocument doc;
    const bool loaded = CLogudtSqlBuilder::ParseDocumentText(doc, text, file.c_str());
    // Whatever the parser built, even up to an error, is no bigger than the gauge said.
    if (CXmlNestingGauge::HasWholeCharacters(text.c_str()))
    {
        const XmlShape built = CXmlNestingGauge::ShapeOf(doc),
                       measured = CXmlNestingGauge::Measure(text.c_str());
        QB_FUZZ_CHECK(built.m_Depth <= measured.m_Depth);
        QB_FUZZ_CHECK(built.m_MostAttributes <= measured.m_MostAttributes);
    }
    const TiXmlElement* root = nullptr;
    if (!loaded || (root = doc.FirstChildElement()) == nullptr)
        return 0;
    CLogudtSqlBuilder builder(CConfigManager::GetInstance()->GetLogudtCopy());
    std::vector<std::string> statements;
    if (admin)
        BuildAdminStatements(builder, root, statements);
    else if (CLogudtSqlBuilder::NameBeginsWith(root->Value(), "content"))
        builder.BuildUserInfoStatements(root, statements);
    for (const std::string& s : statements)
        CheckStatement(s);
    return 0;
}
} // namespace qbfuzz
