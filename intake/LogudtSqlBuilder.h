// Turns a pushed directory document into the SQL that replaces a device's directory tables. Only the
// tables listed in Logudt.conf are written, with the columns listed there and in that order; every
// value from the document reaches SQL as a single-quoted, charset-aware escaped literal or a number.
#pragma once

#include "config/ConfigManager.h"

#include <string>
#include <vector>

class TiXmlDocument;
class TiXmlElement;

class CLogudtSqlBuilder
{
public:
    explicit CLogudtSqlBuilder(std::vector<LogudtTable> tables);

    // The description of a listed table (exact, case-sensitive name), or null.
    const LogudtTable* FindTable(const char* tableName) const;

    // One insert statement for a row element. The statement stays empty when the table is not listed
    // or the row lacks one of its attributes. Returns true when a statement was built.
    bool BuildSql(std::string& statement, const char* tableName, const TiXmlElement* row) const;

    // "lock tables", the delete, one statement per row (empty for a row that cannot be built), "unlock
    // tables", appended to `statements`.
    void BuildTableStatements(const char* tableName, const TiXmlElement* tableElement,
                              std::vector<std::string>& statements) const;

    // The users/device-tables document: every child of the root that names a listed table.
    void BuildUserInfoStatements(const TiXmlElement* root, std::vector<std::string>& statements) const;

    // Loads a pushed document as the parser's own file load would, but first refuses one with a
    // malformed UTF-8 character (the parser steps over a whole character at once, past the text's
    // end or over markup), whose elements nest deeper than MAX_DOCUMENT_DEPTH, or that has an element
    // with more than MAX_ELEMENT_ATTRIBUTES attributes (CXmlNestingGauge). Directory documents nest
    // four levels and their rows have a few attributes.
    static bool LoadDocument(TiXmlDocument& doc, const char* fileName);
    // The text the parser reads from a file: up to its first NUL, line ends made "\n".
    static bool ReadDocumentText(const char* fileName, std::string& text);
    // The checks above, then the parse; `fileName` names the document in the log.
    static bool ParseDocumentText(TiXmlDocument& doc, const std::string& text, const char* fileName);

    // Element names match a prefix without regard to case.
    static bool NameBeginsWith(const char* name, const char* prefix);
    // An attribute of the element, its name compared without regard to case; null when absent.
    static const char* FindAttribute(const TiXmlElement* element, const char* name);
    // The SQL literal of a pushed UTF-8 text: converted to GBK (at most 1023 bytes, no character cut
    // in half), escaped and single-quoted; an empty text gives '0'.
    static std::string MakeTextLiteral(const char* utf8);

    static constexpr size_t MAX_TEXT_VALUE_BYTES = 1023;
    static constexpr size_t MAX_DOCUMENT_DEPTH = 256;
    static constexpr size_t MAX_ELEMENT_ATTRIBUTES = 256;

private:
    std::vector<LogudtTable> m_Tables;
};
