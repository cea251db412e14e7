// How deep the XML library will nest elements when it parses a pushed document, found before it
// parses: its parser descends once per level on the thread's stack and walks every open level for
// each new node, so a document of a few MiB nesting a million levels overflows the stack and takes
// hours. The gauge follows the library's own reading of the text (its tag kinds, where each ends,
// quoted values, numeric character references, the white space it skips and the encoding it
// switches to) rather than the XML grammar, because a reading that differs from the parser's can be
// made to hide levels from it.
#pragma once

#include <cstddef>

class TiXmlNode;

// What the parser will build, at most.
struct XmlShape
{
    size_t m_Depth = 0;          // deepest element nesting, empty elements counted
    size_t m_MostAttributes = 0; // most attributes on one element (the parser checks each new one
                                 // against all before it, so this costs its square)
};

class CXmlNestingGauge
{
public:
    // The shape the parser can reach on `text` (NUL-terminated, line ends already made "\n"); never
    // less than what the parser builds.
    // Requires HasWholeCharacters(text): with a cut or malformed multi-byte character the parser
    // steps over markup bytes and its reading cannot be followed.
    static XmlShape Measure(const char* text);
    // The shape of a parsed tree below `root`, walked without recursion: what Measure must not fall
    // short of.
    static XmlShape ShapeOf(const TiXmlNode& root);

    // Every lead byte of a multi-byte UTF-8 character is followed by its continuation bytes, so a
    // parser that steps over a whole character at once never steps over a markup byte or the end.
    static bool HasWholeCharacters(const char* text);
};
