#include "config/xml.h"

#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <string_view>

namespace {

const size_t NPOS = std::string_view::npos;

// First occurrence of pattern lying wholly inside [from, limit) of range.
size_t find_before(std::string_view range, const std::string &pattern, size_t from, size_t limit) {
    if (from > limit || limit > range.size())
        return NPOS;
    size_t at = range.substr(from, limit - from).find(pattern);
    return at == NPOS ? NPOS : from + at;
}

bool is_stream_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a decimal integer the way formatted stream input does: leading
// white space skipped, one optional sign, then digits up to the first
// character that is not one; the rest is ignored. False when no digit
// follows. The magnitude stops growing far above 2^32, so any overflow of a
// 32-bit type is still recognised.
bool read_decimal(const std::string &text, bool &negative, uint64_t &magnitude) {
    const uint64_t saturation = uint64_t(1) << 40;
    size_t i = 0;
    while (i < text.size() && is_stream_space(text[i]))
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    size_t firstDigit = i;
    magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude < saturation)
            magnitude = magnitude * 10 + uint64_t(text[i] - '0');
    }
    return i > firstDigit;
}

bool to_int32(const std::string &text, int32_t &value) {
    bool negative;
    uint64_t magnitude;
    if (!read_decimal(text, negative, magnitude))
        return false;
    const uint64_t limit = negative ? uint64_t(1) << 31 : (uint64_t(1) << 31) - 1;
    if (magnitude > limit)
        return false;
    int64_t signedValue = negative ? -int64_t(magnitude) : int64_t(magnitude);
    value = int32_t(signedValue);
    return true;
}

// A leading '-' is accepted and negates modulo 2^32: "-1" reads as
// 4294967295. Magnitudes above 4294967295 fail whatever the sign.
bool to_uint32(const std::string &text, uint32_t &value) {
    bool negative;
    uint64_t magnitude;
    if (!read_decimal(text, negative, magnitude) || magnitude > 0xFFFFFFFFull)
        return false;
    uint32_t low = uint32_t(magnitude);
    value = negative ? uint32_t(0u - low) : low;
    return true;
}

// A number that must come out as 0 or 1; words such as "true" fail.
bool to_bool(const std::string &text, bool &value) {
    bool negative;
    uint64_t magnitude;
    if (!read_decimal(text, negative, magnitude))
        return false;
    if (magnitude == 0) {
        value = false;
        return true;
    }
    if (magnitude == 1 && !negative) {
        value = true;
        return true;
    }
    return false;
}

// Reads the whole file as text; false when it cannot be opened or read, or
// is too large for the parser's 32-bit lengths.
bool read_file(const char *path, std::string &contents) {
    try {
        std::ifstream file(path);
        if (!file.is_open())
            return false;
        char chunk[4096];
        while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
            contents.append(chunk, size_t(file.gcount()));
            if (contents.size() > size_t(std::numeric_limits<int32_t>::max()))
                return false;
        }
        return !file.bad();
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace

// ---- Tree ----------------------------------------------------------------

XmlNode &XmlNode::AddChild(const std::string &childName, const std::string &childAttributeText) {
    children.emplace_back();
    XmlNode &child = children.back();
    child.name = childName;
    child.attributeText = childAttributeText;
    child.parent = this;
    return child;
}

void XmlNode::SetLeaf(const std::string &leafName, const std::string &leafText,
                      const std::string &leafAttributeText) {
    for (XmlLeaf &leaf : leaves) {
        if (leaf.name == leafName) {
            replaced.push_back(leaf);
            leaf.text = leafText;
            leaf.attributeText = leafAttributeText;
            return;
        }
    }
    leaves.push_back(XmlLeaf{leafName, leafText, leafAttributeText});
}

const XmlLeaf *XmlNode::FindLeaf(std::string_view leafName) const {
    for (const XmlLeaf &leaf : leaves) {
        if (leaf.name == leafName)
            return &leaf;
    }
    return nullptr;
}

void XmlNode::Clear() {
    leaves.clear();
    name.clear();
    attributeText.clear();
    children.clear();
    replaced.clear();
    stops.clear();
    parent = nullptr;
}

// A second top-level element lands here with current null again: it renames
// the top node and adds its content to what is already there.
void XmlTreeBuilder::OnElementBegin(const std::string &name, const std::string &attributeText) {
    if (!current) {
        if (!top.name.empty())
            outside.formerTopNames.push_back(top.name);
        top.name = name;
        top.attributeText = attributeText;
        top.parent = nullptr;
        current = &top;
        return;
    }
    current = &current->AddChild(name, attributeText);
}

// A leaf outside every element has no node to go to and is dropped.
void XmlTreeBuilder::OnLeaf(const std::string &name, const std::string &text,
                            const std::string &attributeText) {
    if (current)
        current->SetLeaf(name, text, attributeText);
    else
        outside.droppedLeaves.push_back(XmlLeaf{name, text, attributeText});
}

void XmlTreeBuilder::OnElementEnd(const std::string &, const std::string &) {
    if (current)
        current = current->parent;
}

void XmlTreeBuilder::OnScanStopped(const XmlScanStop &stop) {
    (current ? current->stops : outside.fileStops).push_back(stop);
}

void XmlTreeBuilder::Clear() {
    top.Clear();
    outside = XmlOutsideNotes();
    current = nullptr;
}

// ---- Tag cursor ----------------------------------------------------------

int32_t XmlTagCursor::Length(int32_t first, int32_t last) {
    if (first < 0 || last < 0 || last < first)
        return 0;
    return last - first + 1;
}

bool XmlTagCursor::SetRange(const char *text, int32_t length) {
    bool valid = text != nullptr && length >= 1;
    m_pText = valid ? text : nullptr;
    m_nLength = valid ? length : 0;
    m_nPosition = 0;
    ClearOffsets();
    return valid;
}

void XmlTagCursor::ClearOffsets() {
    m_nTagOpen = m_nTagClose = m_nClosingFirst = m_nClosingLast = -1;
    m_nNameFirst = m_nNameLast = m_nAttrFirst = m_nAttrLast = -1;
    m_nContentFirst = m_nContentLast = -1;
}

std::string XmlTagCursor::Stretch(int32_t first, int32_t last) const {
    int32_t n = Length(first, last);
    if (n == 0 || !m_pText || last >= m_nLength)
        return std::string();
    return std::string(m_pText + first, size_t(n));
}

const char *XmlTagCursor::ContentPtr() const {
    if (!m_pText || m_nContentFirst < 0 || m_nContentFirst >= m_nLength)
        return nullptr;
    return m_pText + m_nContentFirst;
}

bool XmlTagCursor::IsSelfClosing() const {
    return m_pText && m_nTagOpen >= 0 && m_nTagOpen < m_nTagClose && m_nTagClose < m_nLength &&
           m_pText[m_nTagClose - 1] == '/';
}

bool XmlTagCursor::IsDeclOrComment() const {
    if (!m_pText)
        return false;
    int32_t n = Length(m_nNameFirst, m_nNameLast);
    if (n < 3 || m_nNameLast >= m_nLength)
        return false;
    const char *name = m_pText + m_nNameFirst;
    return (n >= 4 && std::memcmp(name, "?xml", 4) == 0) || IsComment();
}

bool XmlTagCursor::IsComment() const {
    return m_pText && Length(m_nNameFirst, m_nNameLast) >= 3 && m_nNameLast < m_nLength &&
           std::memcmp(m_pText + m_nNameFirst, "!--", 3) == 0;
}

bool XmlTagCursor::ContentHasTag() const {
    int32_t n = Length(m_nContentFirst, m_nContentLast);
    if (!m_pText || n == 0 || m_nContentLast >= m_nLength)
        return false;
    return std::memchr(m_pText + m_nContentFirst, '<', size_t(n)) != nullptr;
}

bool XmlTagCursor::NextElement() {
    ClearOffsets();
    m_nTagOpen = m_nTagClose = m_nClosingFirst = m_nClosingLast = m_nPosition;
    if (!m_pText || m_nPosition < 0 || m_nPosition >= m_nLength)
        return false;
    std::string_view range(m_pText, size_t(m_nLength));
    size_t open = range.find('<', size_t(m_nPosition));
    if (open == NPOS)
        return false;
    size_t close = range.find('>', open);
    if (close == NPOS)
        return false;
    m_nTagOpen = int32_t(open);
    m_nTagClose = int32_t(close);
    ScanNameAndAttributes();
    if (IsSelfClosing() || IsDeclOrComment()) {
        m_nPosition = m_nTagClose + 1;
        return true;
    }
    return FindClosingTag();
}

// The name runs from after '<' to before '>' (or before the '/' of a
// self-closing tag) and ends at the first blank. Only the blank separates: a
// tab or line break stays part of the name. Attribute text follows the blank.
void XmlTagCursor::ScanNameAndAttributes() {
    int32_t stretchEnd = IsSelfClosing() ? m_nTagClose - 1 : m_nTagClose; // exclusive
    m_nNameFirst = m_nTagOpen + 1;
    const char *blank = static_cast<const char *>(
        std::memchr(m_pText + m_nNameFirst, ' ', size_t(stretchEnd - m_nNameFirst)));
    int32_t nameEnd = blank ? int32_t(blank - m_pText) : stretchEnd;
    m_nNameLast = nameEnd - 1;

    int32_t nameLength = Length(m_nNameFirst, m_nNameLast);
    int32_t tagLength = m_nTagClose - m_nTagOpen + 1;
    if (nameLength == 0 || tagLength - nameLength <= 3)
        return;
    m_nAttrFirst = nameEnd + 1;
    m_nAttrLast = stretchEnd - 1;
}

// Finds "</name>" after the tag. An element of the same name nested inside
// is recognised only by its bare opening tag "<name>": each one found before
// the closing text moves the search on to the next closing text. A nested
// element carrying attributes is not counted, and a closing tag with a blank
// before its '>' never matches.
bool XmlTagCursor::FindClosingTag() {
    std::string_view range(m_pText, size_t(m_nLength));
    std::string name = Name();
    std::string closing = "</" + name + ">";
    std::string opening = "<" + name + ">";
    size_t close = range.find(closing, size_t(m_nTagClose));
    if (close == NPOS)
        return false;
    size_t open = find_before(range, opening, size_t(m_nTagClose), close);
    while (open != NPOS) {
        close = range.find(closing, close + 1);
        if (close == NPOS)
            return false;
        open = find_before(range, opening, open + 1, close);
    }
    m_nClosingFirst = int32_t(close);
    m_nClosingLast = int32_t(close + closing.size() - 1);
    m_nContentFirst = m_nTagClose + 1;
    m_nContentLast = m_nClosingFirst - 1;
    // Next search starts at the following '<', or at the closing '>' when
    // there is none (the level then ends there).
    size_t next = range.find('<', size_t(m_nClosingLast) + 1);
    m_nPosition = next == NPOS ? m_nClosingLast : int32_t(next);
    return true;
}

// ---- Parser --------------------------------------------------------------

bool XmlParser::Parse(const char *pText, int32_t length) {
    if (!pText || length < 1)
        return false;
    text.assign(pText, size_t(length));
    XmlTagCursor cursor;
    ParseLevel(cursor, text.data(), length);
    return true;
}

bool XmlParser::ParseLevel(XmlTagCursor &cursor, const char *pText, int32_t length) {
    return ParseLevelAt(cursor, pText, length, 1);
}

// Elements past XML_MAX_DEPTH are skipped without being scanned. Each level
// goes on with the siblings after an element whatever the nested scan of that
// element did, including when the element's content ends right at its
// closing tag with a self-closing tag, declaration or comment.
bool XmlParser::ParseLevelAt(XmlTagCursor &cursor, const char *pText, int32_t length,
                             int32_t depth) {
    if (depth > XML_MAX_DEPTH)
        return true;
    bool bAfterComment = false;
    while (cursor.SetRange(pText, length)) {
        if (!cursor.NextElement()) {
            ReportStop(cursor, pText, length, bAfterComment);
            break;
        }
        bAfterComment = cursor.IsComment();
        if (!cursor.IsDeclOrComment())
            ReportElement(cursor, depth);
        pText += cursor.Position();
        length -= cursor.Position();
    }
    return true;
}

// A scan that found no next element ends the level; when a '<' is left, the
// rest of the level from there is not read, and the handler hears of it.
void XmlParser::ReportStop(const XmlTagCursor &cursor, const char *pText, int32_t length,
                           bool bAfterComment) {
    if (!handler)
        return;
    const std::string_view rest(pText, size_t(length));
    const size_t open = rest.find('<');
    if (open == NPOS)
        return;
    const size_t close = rest.find('>', open);
    const size_t tagEnd = close == NPOS ? rest.size() : close + 1;
    handler->OnScanStopped(
        XmlScanStop{std::string(rest.substr(open, tagEnd - open)), cursor.Name(), bAfterComment});
}

// An element whose content holds a '<' has children; text mixed with them is
// lost. A nameless element is not reported, so its children attach to the
// enclosing element.
void XmlParser::ReportElement(const XmlTagCursor &cursor, int32_t depth) {
    std::string name = cursor.Name();
    std::string attributeText = cursor.AttributeText();
    bool report = handler != nullptr && !name.empty();
    if (!cursor.ContentHasTag()) {
        if (report)
            handler->OnLeaf(name, cursor.Content(), attributeText);
        return;
    }
    if (report)
        handler->OnElementBegin(name, attributeText);
    XmlTagCursor inner;
    ParseLevelAt(inner, cursor.ContentPtr(), cursor.ContentLength(), depth + 1);
    if (report)
        handler->OnElementEnd(name, attributeText);
}

// ---- Document ------------------------------------------------------------

XmlDocument::XmlDocument() {
    m_parser.handler = &m_builder;
}

bool XmlDocument::Load(const char *path) {
    m_builder.Clear();
    std::string contents;
    if (!path || !read_file(path, contents))
        return false;
    ParseContents(contents.data(), int32_t(contents.size()));
    return true;
}

bool XmlDocument::LoadText(const char *pText, int32_t length) {
    m_builder.Clear();
    if (!pText || length < 0)
        return false;
    ParseContents(pText, length);
    return true;
}

// An empty text leaves the tree empty. When memory runs out half-way, the
// tree keeps what was built until then.
void XmlDocument::ParseContents(const char *pText, int32_t length) {
    m_builder.Clear();
    if (length < 1)
        return;
    try {
        m_parser.Parse(pText, length);
    } catch (const std::exception &) {
        // Keep the partial tree.
    }
    m_builder.current = nullptr;
}

namespace {

// The node that the element names of a key path reach, walked in place
// without splitting the path, since every Get runs it. elements holds the
// pieces joined by ':', each kept, empty ones too.
const XmlNode *find_node_in_place(const XmlNode &top, std::string_view elements) {
    size_t colon = elements.find(':');
    if (top.name != elements.substr(0, colon))
        return nullptr;
    const XmlNode *node = &top;
    while (colon != NPOS) {
        elements.remove_prefix(colon + 1);
        colon = elements.find(':');
        const std::string_view name = elements.substr(0, colon);
        const XmlNode *match = nullptr;
        for (const XmlNode &child : node->children) {
            if (child.name == name) {
                match = &child;
                break;
            }
        }
        if (!match)
            return nullptr;
        node = match;
    }
    return node;
}

} // namespace

const XmlNode *XmlDocument::FindElement(std::string_view elementPath) const {
    return find_node_in_place(m_builder.top, elementPath);
}

// The last piece of the path names the leaf, the others the elements; a
// colon at the very end adds no piece.
const XmlLeaf *XmlDocument::FindLeaf(const char *keyPath) const {
    if (!keyPath || !*keyPath)
        return nullptr;
    std::string_view path(keyPath);
    if (path.back() == ':')
        path.remove_suffix(1);
    const size_t lastColon = path.rfind(':');
    if (lastColon == NPOS)
        return m_builder.top.FindLeaf(path);
    const XmlNode *node = FindElement(path.substr(0, lastColon));
    return node ? node->FindLeaf(path.substr(lastColon + 1)) : nullptr;
}

bool XmlDocument::Get(const char *keyPath, std::string &target, std::string def) {
    try {
        if (const XmlLeaf *leaf = FindLeaf(keyPath)) {
            target = leaf->text;
            return true;
        }
    } catch (const std::exception &) {
        // Falls back to the default below.
    }
    target = std::move(def);
    return false;
}

bool XmlDocument::Get(const char *keyPath, int32_t &target, int32_t def) {
    try {
        const XmlLeaf *leaf = FindLeaf(keyPath);
        if (leaf && to_int32(leaf->text, target))
            return true;
    } catch (const std::exception &) {
    }
    target = def;
    return false;
}

bool XmlDocument::Get(const char *keyPath, bool &target, bool def) {
    try {
        const XmlLeaf *leaf = FindLeaf(keyPath);
        if (leaf && to_bool(leaf->text, target))
            return true;
    } catch (const std::exception &) {
    }
    target = def;
    return false;
}

bool XmlDocument::Get(const char *keyPath, uint32_t &target, uint32_t def) {
    try {
        const XmlLeaf *leaf = FindLeaf(keyPath);
        if (leaf && to_uint32(leaf->text, target))
            return true;
    } catch (const std::exception &) {
    }
    target = def;
    return false;
}
