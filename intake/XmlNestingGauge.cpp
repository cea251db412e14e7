#include "intake/XmlNestingGauge.h"

#include <algorithm>
#include <cstring>
#include <tinyxml.h>
#include <utility>
#include <vector>

namespace
{
// The parser's character classes, in the C locale the collector runs in.
bool IsSpace(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsAlpha(unsigned char c)
{
    return c >= 127 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}
bool IsNameChar(unsigned char c)
{
    return IsAlpha(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == ':';
}
bool IsHexDigit(unsigned char c)
{
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}
unsigned char Lower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

// One reading of the text. The parser starts in its "unknown" encoding (single bytes) unless the
// text begins with a byte-order mark, and takes the encoding named by the first declaration at the
// document level; `m_AfterDeclaration` is that encoding. Only white-space skipping differs between
// the two (UTF-8 also skips the byte-order mark and U+FFFE/U+FFFF there).
class CReading
{
public:
    CReading(const unsigned char* text, bool utf8AfterDeclaration)
        : m_Text(text), m_AfterDeclaration(utf8AfterDeclaration)
    {
    }

    XmlShape Run()
    {
        bool decided = false;
        if (m_Text[0] == 0xEF && m_Text[1] == 0xBB && m_Text[2] == 0xBF)
        {
            m_Utf8 = true;
            decided = true;
        }
        SkipSpace();
        while (At(0) != 0)
        {
            if (m_Depth == 0)
            {
                if (At(0) != '<')
                    break; // the parser stops at text outside the root
            }
            else if (At(0) != '<')
            {
                if (!SkipCharactersUntil('<'))
                    break;
                continue;
            }
            else if (At(1) == '/')
            {
                // An end tag closes the open element (a wrong name is an error, and parsing ends).
                --m_Depth;
                if (!SkipPast(">"))
                    break;
                SkipSpace();
                continue;
            }
            if (!SkipNode(decided))
                break;
            SkipSpace();
        }
        return m_Shape;
    }

private:
    unsigned char At(size_t k) const { return m_Text[m_Pos + k]; }

    bool StartsWith(const char* tag, bool ignoreCase) const
    {
        for (size_t k = 0; tag[k] != 0; ++k)
        {
            unsigned char c = At(k);
            if (c == 0 || (ignoreCase ? Lower(c) != Lower(static_cast<unsigned char>(tag[k]))
                                      : c != static_cast<unsigned char>(tag[k])))
                return false;
        }
        return true;
    }

    void SkipSpace()
    {
        while (At(0) != 0)
        {
            if (m_Utf8 && At(0) == 0xEF &&
                ((At(1) == 0xBB && At(2) == 0xBF) || (At(1) == 0xBF && (At(2) == 0xBE || At(2) == 0xBF))))
                m_Pos += 3;
            else if (IsSpace(At(0)))
                ++m_Pos;
            else
                break;
        }
    }

    // Moves past the first `end` from here; false when there is none.
    bool SkipPast(const char* end)
    {
        const char* from = reinterpret_cast<const char*>(m_Text + m_Pos);
        const char* hit = strstr(from, end);
        if (hit == nullptr)
            return false;
        m_Pos += static_cast<size_t>(hit - from) + strlen(end);
        return true;
    }

    // A numeric character reference is read up to the first ';' after it, whatever lies between,
    // as long as the digits just before the ';' are valid: that span can hide markup.
    bool SkipReference()
    {
        if (At(1) != '#' || At(2) == 0)
        {
            ++m_Pos; // a named reference or a lone '&' holds no markup byte
            return true;
        }
        const bool hex = At(2) == 'x';
        if (hex && At(3) == 0)
            return false;
        const char* from = reinterpret_cast<const char*>(m_Text + m_Pos + (hex ? 3 : 2));
        const char* semicolon = strchr(from, ';');
        if (semicolon == nullptr)
            return false;
        const size_t end = static_cast<size_t>(reinterpret_cast<const unsigned char*>(semicolon) - m_Text);
        const unsigned char opener = hex ? 'x' : '#';
        for (size_t k = end - 1; m_Text[k] != opener; --k)
            if (hex ? !IsHexDigit(m_Text[k]) : !(m_Text[k] >= '0' && m_Text[k] <= '9'))
                return false;
        m_Pos = end + 1;
        return true;
    }

    // Characters (references read as above) up to `end`: element text up to '<', a quoted value up to
    // its quote.
    bool SkipCharactersUntil(unsigned char end)
    {
        while (At(0) != end)
        {
            if (At(0) == 0)
                return false;
            if (At(0) == '&')
            {
                if (!SkipReference())
                    return false;
            }
            else
                ++m_Pos;
        }
        return true;
    }

    bool SkipName()
    {
        if (!(IsAlpha(At(0)) || At(0) == '_'))
            return false;
        while (IsNameChar(At(0)))
            ++m_Pos;
        return true;
    }

    // name = value, the value quoted (references read as above) or running to white space, '/' or '>'.
    bool SkipAttribute()
    {
        SkipSpace();
        if (!SkipName())
            return false;
        SkipSpace();
        if (At(0) != '=')
            return false;
        ++m_Pos;
        SkipSpace();
        const unsigned char quote = At(0);
        if (quote == '\'' || quote == '"')
        {
            ++m_Pos;
            if (!SkipCharactersUntil(quote))
                return false;
            ++m_Pos;
            return At(0) != 0;
        }
        while (At(0) != 0 && !IsSpace(At(0)) && At(0) != '/' && At(0) != '>')
        {
            if (At(0) == '\'' || At(0) == '"')
                return false;
            ++m_Pos;
        }
        return At(0) != 0;
    }

    // "<?xml": the three known attributes are read as attributes, anything else up to white space
    // or '>'.
    bool SkipDeclaration()
    {
        m_Pos += 5;
        while (At(0) != 0)
        {
            if (At(0) == '>')
            {
                ++m_Pos;
                return true;
            }
            SkipSpace();
            if (StartsWith("version", true) || StartsWith("encoding", true) || StartsWith("standalone", true))
            {
                if (!SkipAttribute())
                    return false;
            }
            else
                while (At(0) != 0 && At(0) != '>' && !IsSpace(At(0)))
                    ++m_Pos;
        }
        return false;
    }

    // A start tag: an empty element counts its level; an open one is entered.
    bool SkipStartTag()
    {
        ++m_Pos;
        SkipSpace();
        if (!SkipName())
            return false;
        // The parser keeps an element whose tag then fails to parse.
        m_Shape.m_Depth = std::max(m_Shape.m_Depth, m_Depth + 1);
        for (size_t attributes = 0;; ++attributes)
        {
            m_Shape.m_MostAttributes = std::max(m_Shape.m_MostAttributes, attributes);
            SkipSpace();
            if (At(0) == 0)
                return false;
            if (At(0) == '/')
            {
                if (At(1) != '>')
                    return false;
                m_Pos += 2;
                return true;
            }
            if (At(0) == '>')
            {
                ++m_Pos;
                m_Shape.m_Depth = std::max(m_Shape.m_Depth, ++m_Depth);
                return true;
            }
            if (!SkipAttribute())
                return false;
        }
    }

    // The node at '<', told apart in the parser's order.
    bool SkipNode(bool& decided)
    {
        if (StartsWith("<?xml", true))
        {
            if (!SkipDeclaration())
                return false;
            if (m_Depth == 0 && !decided)
            {
                m_Utf8 = m_AfterDeclaration;
                decided = true;
            }
            return true;
        }
        if (StartsWith("<!--", false))
        {
            m_Pos += 4;
            return SkipPast("-->");
        }
        if (StartsWith("<![CDATA[", false))
        {
            m_Pos += 9;
            return SkipPast("]]>");
        }
        if (IsAlpha(At(1)) || At(1) == '_')
            return SkipStartTag();
        // Anything else, "<!" declarations included, runs to the first '>', quotes or not.
        return SkipPast(">");
    }

    const unsigned char* m_Text;
    const bool m_AfterDeclaration;
    bool m_Utf8 = false;
    size_t m_Pos = 0;
    size_t m_Depth = 0; // elements open here
    XmlShape m_Shape;
};
} // namespace

XmlShape CXmlNestingGauge::Measure(const char* text)
{
    if (text == nullptr)
        return {};
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    const XmlShape a = CReading(t, false).Run(), b = CReading(t, true).Run();
    return {std::max(a.m_Depth, b.m_Depth), std::max(a.m_MostAttributes, b.m_MostAttributes)};
}

bool CXmlNestingGauge::HasWholeCharacters(const char* text)
{
    if (text == nullptr)
        return true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p)
    {
        const int length = *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC0 ? 2 : 1;
        for (int k = 1; k < length; ++k)
            if (p[k] < 0x80 || p[k] > 0xBF)
                return false;
    }
    return true;
}

XmlShape CXmlNestingGauge::ShapeOf(const TiXmlNode& root)
{
    XmlShape shape;
    std::vector<std::pair<const TiXmlNode*, size_t>> stack{{&root, 0}};
    while (!stack.empty())
    {
        auto [node, depth] = stack.back();
        stack.pop_back();
        for (const TiXmlNode* c = node->FirstChild(); c != nullptr; c = c->NextSibling())
        {
            size_t d = depth;
            if (const TiXmlElement* e = c->ToElement())
            {
                ++d;
                size_t attributes = 0;
                for (const TiXmlAttribute* a = e->FirstAttribute(); a != nullptr; a = a->Next())
                    ++attributes;
                shape.m_MostAttributes = std::max(shape.m_MostAttributes, attributes);
            }
            shape.m_Depth = std::max(shape.m_Depth, d);
            stack.push_back({c, d});
        }
    }
    return shape;
}
