#include "intake/LogudtSqlBuilder.h"

#include "core/ProgramLogRecorder.h"
#include "core/Utilities.h"
#include "intake/XmlNestingGauge.h"
#include "protocol/WireProtocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <tinyxml.h>

namespace
{
constexpr const char* TAG = "[CNodeLogRecordTask]";

bool IsGbkLead(unsigned char c)
{
    return c >= 0x81 && c <= 0xFE;
}
bool IsGbkTrail(unsigned char c)
{
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE);
}

// Cuts GBK text to at most `limit` bytes without splitting a double-byte character.
void CutGbk(std::string& text, size_t limit)
{
    if (text.size() <= limit)
        return;
    size_t i = 0;
    while (i < limit)
    {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t step =
            (IsGbkLead(c) && i + 1 < text.size() && IsGbkTrail(static_cast<unsigned char>(text[i + 1]))) ? 2
                                                                                                         : 1;
        if (i + step > limit)
            break;
        i += step;
    }
    text.resize(i);
}

// An attribute's text as a number; what does not parse counts as 0.
uint32_t ParseNumber(const char* text)
{
    if (text == nullptr)
        return 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (end == text)
        return 0;
    return static_cast<uint32_t>(v);
}
} // namespace

CLogudtSqlBuilder::CLogudtSqlBuilder(std::vector<LogudtTable> tables) : m_Tables(std::move(tables)) {}

const LogudtTable* CLogudtSqlBuilder::FindTable(const char* tableName) const
{
    if (tableName == nullptr)
        return nullptr;
    for (const LogudtTable& t : m_Tables)
        if (t.m_TableName == tableName)
            return &t;
    return nullptr;
}

bool CLogudtSqlBuilder::NameBeginsWith(const char* name, const char* prefix)
{
    if (name == nullptr || prefix == nullptr)
        return false;
    return strncasecmp(name, prefix, strlen(prefix)) == 0;
}

const char* CLogudtSqlBuilder::FindAttribute(const TiXmlElement* element, const char* name)
{
    if (element == nullptr || name == nullptr)
        return nullptr;
    for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next())
        if (strcasecmp(a->Name(), name) == 0)
            return a->Value();
    return nullptr;
}

bool CLogudtSqlBuilder::ReadDocumentText(const char* fileName, std::string& text)
{
    text.clear();
    if (fileName == nullptr)
        return false;
    FILE* f = fopen(fileName, "rb");
    if (f == nullptr)
        return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
        text.append(chunk, n);
    fclose(f);
    // The parser sees the text up to its first NUL (a device may pad the document), with line ends
    // made "\n" as a file load makes them.
    text.resize(strnlen(text.data(), text.size()));
    size_t out = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '\r')
            text[out++] = text[i];
        else
        {
            text[out++] = '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        }
    }
    text.resize(out);
    return true;
}

bool CLogudtSqlBuilder::ParseDocumentText(TiXmlDocument& doc, const std::string& text, const char* fileName)
{
    if (!CXmlNestingGauge::HasWholeCharacters(text.c_str()))
    {
        QB_LOG(PL_WARN, TAG, "[LoadDocument] Malformed UTF-8 Character In %s\n", fileName);
        return false;
    }
    const XmlShape shape = CXmlNestingGauge::Measure(text.c_str());
    if (shape.m_Depth > MAX_DOCUMENT_DEPTH)
    {
        QB_LOG(PL_WARN, TAG, "[LoadDocument] Elements Nest %zu Levels Deep In %s\n", shape.m_Depth, fileName);
        return false;
    }
    if (shape.m_MostAttributes > MAX_ELEMENT_ATTRIBUTES)
    {
        QB_LOG(PL_WARN, TAG, "[LoadDocument] An Element Has %zu Attributes In %s\n", shape.m_MostAttributes,
               fileName);
        return false;
    }
    doc.Parse(text.c_str());
    return !doc.Error();
}

bool CLogudtSqlBuilder::LoadDocument(TiXmlDocument& doc, const char* fileName)
{
    std::string text;
    return ReadDocumentText(fileName, text) && ParseDocumentText(doc, text, fileName);
}

std::string CLogudtSqlBuilder::MakeTextLiteral(const char* utf8)
{
    if (utf8 == nullptr || utf8[0] == '\0')
        return "'0'";
    std::string value;
    if (!Utf8ToGbkString(utf8, value))
        value = utf8;
    CutGbk(value, MAX_TEXT_VALUE_BYTES);
    EscapeSqlString(value);
    return "'" + value + "'";
}

bool CLogudtSqlBuilder::BuildSql(std::string& statement, const char* tableName, const TiXmlElement* row) const
{
    statement.clear();
    const LogudtTable* table = FindTable(tableName);
    if (table == nullptr || row == nullptr)
        return false;

    std::string columns, values;
    bool first = true;
    for (const std::string& entry : table->m_Attributes)
    {
        if (entry.empty())
            continue;
        size_t semi = entry.find(';');
        std::string column = entry.substr(0, semi);
        std::string type = semi == std::string::npos ? std::string() : entry.substr(semi + 1);

        const char* text = FindAttribute(row, column.c_str());
        if (text == nullptr)
        {
            QB_LOG(PL_WARN, TAG, "[BuildSql] Cannot Find Attribute Name = %s\n", column.c_str());
            return false;
        }

        columns += first ? "`" : ",`";
        columns += column;
        columns += "`";

        std::string value;
        if (type == "ulong")
            value = std::to_string(wire::NetToHost32(ParseNumber(text)));
        else if (type == "ushort")
            value = std::to_string(wire::NetToHost16(static_cast<uint16_t>(ParseNumber(text))));
        else
            value = MakeTextLiteral(text);

        if (!first)
            values += ",";
        values += value;
        first = false;
    }
    if (first)
        return false;
    statement = "insert into " + table->m_TableName + "(" + columns + ") values (" + values + ")";
    return true;
}

void CLogudtSqlBuilder::BuildTableStatements(const char* tableName, const TiXmlElement* tableElement,
                                             std::vector<std::string>& statements) const
{
    const LogudtTable* table = FindTable(tableName);
    if (table == nullptr || tableElement == nullptr)
        return;
    const std::string& name = table->m_TableName;
    statements.push_back("lock tables " + name + " write");
    // Users the collector created itself (ids below 1) outlive a push.
    if (NameBeginsWith(name.c_str(), "svpnuser"))
        statements.push_back("delete from svpnuser where id>0");
    else
        statements.push_back("delete from " + name);
    for (const TiXmlElement* row = tableElement->FirstChildElement(); row != nullptr;
         row = row->NextSiblingElement())
    {
        std::string sql;
        BuildSql(sql, name.c_str(), row);
        statements.push_back(sql);
    }
    statements.push_back("unlock tables");
}

void CLogudtSqlBuilder::BuildUserInfoStatements(const TiXmlElement* root,
                                                std::vector<std::string>& statements) const
{
    if (root == nullptr)
        return;
    for (const TiXmlElement* t = root->FirstChildElement(); t != nullptr; t = t->NextSiblingElement())
        if (FindTable(t->Value()) != nullptr)
            BuildTableStatements(t->Value(), t, statements);
}
