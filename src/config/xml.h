// The relay's own reader for its XML configuration file. It finds elements
// by searching the text for tags and their closing tags, reports them to a
// handler, and the tree builder keeps every element with child elements as a
// node and every element without child elements as a leaf (name and raw
// text) of its parent. Values are fetched by a colon-separated key path such
// as "GameThunkServer:VOZevezu_Host:port", with a type and a default.
//
// It is deliberately small: no validation, no entity decoding, attributes
// kept as raw text and never interpreted. Bad input is skipped or ends the
// scan of its level; it never fails loudly and never throws out of
// XmlDocument. What it replaced, dropped or left unread that way is kept
// beside the tree, so that a check of a file can say so; lookups never look
// at it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Elements nested more than this many levels deep are skipped whole, as if
// they were comments; the reader recurses once per level, so this bounds its
// stack use on hostile files. Configuration files use three levels.
const int32_t XML_MAX_DEPTH = 64;

// One element without child elements.
struct XmlLeaf {
    std::string name;
    std::string text;          // everything between the tags, unchanged
    std::string attributeText; // raw, never interpreted
};

// Where the scan of a level ended before the level did: at a '<' from which
// it took no element (no '>' after it, or no closing tag it could match), so
// nothing from there to the level's end was read.
struct XmlScanStop {
    std::string tag;     // from that '<' to its '>', or to the level's end
    std::string tagName; // the name read in the tag; empty when it has no '>'
    bool bAfterComment;  // the element taken just before it was a comment
};

// One element with child elements, or the top element.
struct XmlNode {
    std::vector<XmlLeaf> leaves; // at most one per name
    std::string name;
    std::string attributeText;
    std::vector<XmlNode> children; // document order; names may repeat
    // What the reader did to this element's content that leaves and children
    // do not show: the leaves a later leaf of the same name replaced, in the
    // order they were replaced, and where scans of the content stopped early
    // (the top node holds those of every top-level element). Empty for a
    // clean file.
    std::vector<XmlLeaf> replaced;
    std::vector<XmlScanStop> stops;
    // The enclosing node while the tree is built. Children are held by value,
    // so this goes stale once a later sibling of the parent is added: follow
    // it only while this node's element is still open.
    XmlNode *parent = nullptr;

    XmlNode &AddChild(const std::string &childName, const std::string &childAttributeText);
    // Replaces the text and attribute text of the leaf of that name, keeping
    // the leaf as it was in replaced, or appends a new leaf.
    void SetLeaf(const std::string &leafName, const std::string &leafText,
                 const std::string &leafAttributeText);
    const XmlLeaf *FindLeaf(std::string_view leafName) const;
    void Clear();
};

// Receives the elements of a document in order.
class XmlHandler {
public:
    virtual void OnElementBegin(const std::string &name, const std::string &attributeText) = 0;
    virtual void OnLeaf(const std::string &name, const std::string &text,
                        const std::string &attributeText) = 0;
    virtual void OnElementEnd(const std::string &name, const std::string &attributeText) = 0;
    // The scan of the innermost open element's content (or, outside every
    // element, of the file itself) ended early; see XmlScanStop.
    virtual void OnScanStopped(const XmlScanStop &) {}

protected:
    ~XmlHandler() = default;
};

// What the reader dropped or renamed outside the top node's content. Empty
// for a file with one top element and nothing beside it.
struct XmlOutsideNotes {
    std::vector<std::string> formerTopNames; // each renamed by a later top-level element
    std::vector<XmlLeaf> droppedLeaves;      // leaves outside every element
    std::vector<XmlScanStop> fileStops;      // scans of the file's own level that stopped early
};

// Builds the tree of one document from the handler calls.
class XmlTreeBuilder : public XmlHandler {
public:
    void OnElementBegin(const std::string &name, const std::string &attributeText) override;
    void OnLeaf(const std::string &name, const std::string &text,
                const std::string &attributeText) override;
    void OnElementEnd(const std::string &name, const std::string &attributeText) override;
    void OnScanStopped(const XmlScanStop &stop) override;
    virtual ~XmlTreeBuilder() = default;

    // Empties the tree and the notes and closes every open element.
    void Clear();

    XmlNode top;
    XmlOutsideNotes outside;
    XmlNode *current = nullptr; // innermost open node; null outside the top element
};

// The scanning state over one range of text. Offsets are relative to the
// start of the range, -1 for none; a first/last pair with last < first is
// an empty stretch.
class XmlTagCursor {
public:
    // False (and no range) for a null pointer or a length below 1; otherwise
    // sets the range, position 0 and clears the offsets.
    bool SetRange(const char *text, int32_t length);
    // Finds the next tag at or after the position and, unless it is
    // self-closing, a declaration or a comment, its closing tag. On success
    // the position moves past the element.
    bool NextElement();

    bool IsSelfClosing() const;   // '/' right before the tag's '>'
    bool IsDeclOrComment() const; // name starts with "?xml" or "!--"
    bool IsComment() const;       // name starts with "!--"
    bool ContentHasTag() const;   // a '<' lies in the content

    std::string Name() const { return Stretch(m_nNameFirst, m_nNameLast); }
    std::string AttributeText() const { return Stretch(m_nAttrFirst, m_nAttrLast); }
    std::string Content() const { return Stretch(m_nContentFirst, m_nContentLast); }
    const char *ContentPtr() const;
    int32_t ContentLength() const { return Length(m_nContentFirst, m_nContentLast); }

    // Offset at which the next search starts.
    int32_t Position() const { return m_nPosition; }

private:
    // last - first + 1, or 0 when either is negative or last < first.
    static int32_t Length(int32_t first, int32_t last);
    void ClearOffsets();
    void ScanNameAndAttributes();
    bool FindClosingTag();
    std::string Stretch(int32_t first, int32_t last) const;

    const char *m_pText = nullptr;
    int32_t m_nLength = 0;
    int32_t m_nPosition = 0;
    int32_t m_nTagOpen = -1;  // the tag's '<'
    int32_t m_nTagClose = -1; // the tag's '>'
    int32_t m_nClosingFirst = -1;
    int32_t m_nClosingLast = -1;
    int32_t m_nNameFirst = -1;
    int32_t m_nNameLast = -1;
    int32_t m_nAttrFirst = -1;
    int32_t m_nAttrLast = -1;
    int32_t m_nContentFirst = -1;
    int32_t m_nContentLast = -1;
};

// Scans a text level by level and reports its elements to the handler.
class XmlParser {
public:
    virtual ~XmlParser() = default;

    // False for a null pointer or a length below 1; otherwise scans a copy of
    // the text and returns true.
    bool Parse(const char *pText, int32_t length);
    // Scans the elements of one level in document order; always true.
    bool ParseLevel(XmlTagCursor &cursor, const char *pText, int32_t length);

    std::string text;              // copy of the text last parsed
    XmlHandler *handler = nullptr; // not owned; null scans without reporting

private:
    bool ParseLevelAt(XmlTagCursor &cursor, const char *pText, int32_t length, int32_t depth);
    void ReportElement(const XmlTagCursor &cursor, int32_t depth);
    void ReportStop(const XmlTagCursor &cursor, const char *pText, int32_t length,
                    bool bAfterComment);
};

// One loaded configuration file with typed lookups. Used by one thread.
class XmlDocument {
public:
    XmlDocument();
    XmlDocument(const XmlDocument &) = delete;
    XmlDocument &operator=(const XmlDocument &) = delete;

    // True when the file could be opened and read (an empty file gives an
    // empty tree); false otherwise, leaving the tree empty.
    bool Load(const char *path);
    // Parses text held in memory as Load parses a file's contents. False for
    // a null text or a negative length.
    bool LoadText(const char *pText, int32_t length);

    // True when the key's leaf exists and its text converts; otherwise the
    // default is stored and the result is false. Integers are decimal, after
    // optional white space and one sign; trailing characters are ignored.
    // The unsigned reading takes "-n" as 2^32 - n; bool takes only 0 and 1.
    bool Get(const char *keyPath, std::string &target, std::string def);
    bool Get(const char *keyPath, int32_t &target, int32_t def);
    bool Get(const char *keyPath, bool &target, bool def);
    bool Get(const char *keyPath, uint32_t &target, uint32_t def);

    const XmlTreeBuilder &Tree() const { return m_builder; }
    // The element at an element path such as "GameThunkServer:VOZevezu_Host",
    // found as Get finds the element of a key (the key path without its last
    // piece): the pieces are the text between colons, empty ones kept, the
    // first naming the top element; at every step the first element of the
    // name wins. Null when there is none. A key path without a colon names a
    // leaf of the top node, whatever its name.
    const XmlNode *FindElement(std::string_view elementPath) const;
    // What the reader dropped or renamed outside the top node; what it did
    // inside an element is held by the element's node (XmlNode::replaced,
    // XmlNode::stops).
    const XmlOutsideNotes &Outside() const { return m_builder.outside; }

private:
    void ParseContents(const char *pText, int32_t length);
    const XmlLeaf *FindLeaf(const char *keyPath) const;

    XmlParser m_parser;
    XmlTreeBuilder m_builder;
};
