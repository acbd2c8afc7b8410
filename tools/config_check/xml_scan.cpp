// How the relay's reader scans the text as a whole: the tree it builds, the
// elements it reads twice or drops, and where its scan of a level ends
// before the level does.
#include <cstring>
#include <exception>
#include <limits>

#include "check_rules.h"

namespace {

// The element path of an open node. Parent pointers hold while the node's
// element is open, which is all the time a handler call looks at it.
std::string path_of(const XmlNode *node) {
    std::string path;
    for (; node; node = node->parent)
        path = path.empty() ? node->name : node->name + ":" + path;
    return path;
}

bool is_key_leaf_name(const std::string &name) {
    for (const char *key : CHECKED_KEY_PATHS) {
        if (leaf_name(key) == name)
            return true;
    }
    return false;
}

bool has_child(const XmlNode &node, const std::string &name) {
    for (const XmlNode &child : node.children) {
        if (child.name == name)
            return true;
    }
    return false;
}

// Hands the reader's calls on to the tree builder, noting first which keys
// (and key-holding elements) it is about to replace or drop.
class NoteTaker : public XmlHandler {
public:
    NoteTaker(XmlTreeBuilder *tree, Warnings *warnings) : m_tree(tree), m_warnings(warnings) {}

    void OnElementBegin(const std::string &name, const std::string &attributeText) override {
        const XmlNode *node = m_tree->current;
        if (!node && !m_tree->top.name.empty())
            Warn("a second top-level element <" + escaped(name) + "> follows <" +
                 escaped(m_tree->top.name) + ">; the relay reads the two as one element named <" +
                 escaped(name) + ">, a key given in both taking the later value; keep one top " +
                 "element");
        else if (IsReadNode(node) && is_key_level(path_of(node) + ":" + name) &&
                 has_child(*node, name))
            Warn(KeyName(node, name) + " is given twice; the relay reads only the first; " +
                 "remove the second");
        m_tree->OnElementBegin(name, attributeText);
    }

    void OnLeaf(const std::string &name, const std::string &text,
                const std::string &attributeText) override {
        const XmlNode *node = m_tree->current;
        const bool bKey = IsReadNode(node) && is_key_path(path_of(node) + ":" + name);
        const XmlLeaf *earlier = bKey ? node->FindLeaf(name) : nullptr;
        if (!node && is_key_leaf_name(name))
            Warn("<" + name + "> lies outside the top element; the relay drops it; move it " +
                 "inside <" + leaf_name(key_levels().front()) + ">");
        else if (earlier)
            Warn(KeyName(node, name) + " is given twice; the relay reads the later one, " +
                 quoted(text) + ", not " + quoted(earlier->text) + "; remove one");
        m_tree->OnLeaf(name, text, attributeText);
    }

    void OnElementEnd(const std::string &name, const std::string &attributeText) override {
        m_tree->OnElementEnd(name, attributeText);
    }

private:
    // A node that holds keys and is the one the relay's lookups reach (the
    // first element of its name).
    bool IsReadNode(const XmlNode *node) const {
        if (!node)
            return false;
        const std::string path = path_of(node);
        return is_key_level(path) && m_tree->FindNode(XmlKeyPath::Split(path.c_str())) == node;
    }
    static std::string KeyName(const XmlNode *node, const std::string &name) {
        return short_key(path_of(node) + ":" + escaped(name));
    }
    void Warn(const std::string &text) { m_warnings->push_back("warning: " + text); }

    XmlTreeBuilder *m_tree;
    Warnings *m_warnings;
};

std::string stop_at_line_space(const std::string &name, const std::string &level) {
    const size_t space = name.find_first_of("\t\r\n");
    const char *what = name[space] == '\t' ? "a tab" : "a line break";
    return "warning: <" + name.substr(0, space) + " is followed by " + what +
           ": a tag name ends only at a blank, so the relay never finds this element's " +
           "closing tag and stops reading " + level_text(level) + " there: nothing from there " +
           "on in it is read; put a blank or '>' right after the name";
}

std::string stop_at_tag(const std::string &tag, const std::string &level, bool bAfterComment) {
    const bool bClosed = tag.back() == '>';
    std::string fix = "close the tag or remove it";
    if (bAfterComment && tag.compare(0, 2, "</") == 0)
        fix = "a comment ends at its first '>', so a tag inside a comment ends it early; " +
              std::string("keep tags out of comments");
    return "warning: the relay stops reading " + level_text(level) + " at " + quoted(tag) +
           (bClosed ? ", a tag it finds no closing tag for" : ", a '<' with no '>' after it") +
           ": nothing from there on in it is read; " + fix;
}

// After the scan of a level failed to find its next element: true, with a
// warning, when a tag is left that the scan could not take.
bool note_stop(const XmlTagCursor &cursor, const char *pText, int32_t length,
               const std::string &level, bool bAfterComment, Warnings *warnings) {
    const char *open = static_cast<const char *>(std::memchr(pText, '<', size_t(length)));
    if (!open)
        return false;
    std::string tag(open, size_t(pText + length - open));
    tag = tag.substr(0, tag.find('>') == std::string::npos ? tag.size() : tag.find('>') + 1);
    if (tag.size() > 60)
        tag = tag.substr(0, 57) + "...";
    const std::string name = cursor.Name();
    warnings->push_back(has_line_space(name) ? stop_at_line_space(name, level)
                                             : stop_at_tag(tag, level, bAfterComment));
    return true;
}

// Walks one level as the reader's parser does, down into the elements that
// hold keys (a nameless element is transparent, as there). True when the
// scan of this level ended at a tag.
bool scan_level(const char *pText, int32_t length, const std::string &level, int32_t depth,
                Warnings *warnings) {
    if (depth > XML_MAX_DEPTH)
        return false;
    XmlTagCursor cursor;
    bool bAfterComment = false;
    while (cursor.SetRange(pText, length)) {
        if (!cursor.NextElement())
            return note_stop(cursor, pText, length, level, bAfterComment, warnings);
        const std::string name = cursor.Name();
        bAfterComment = cursor.IsDeclOrComment() && name.compare(0, 3, "!--") == 0;
        if (!cursor.IsDeclOrComment() && cursor.ContentHasTag()) {
            const std::string inner = name.empty()    ? level
                                      : level.empty() ? name
                                                      : level + ":" + name;
            if (is_key_level(inner))
                scan_level(cursor.ContentPtr(), cursor.ContentLength(), inner, depth + 1, warnings);
        }
        pText += cursor.Position();
        length -= cursor.Position();
    }
    return false;
}

} // namespace

bool scan_config_text(const std::string &text, XmlTreeBuilder *tree, Warnings *warnings) {
    tree->Clear();
    if (text.empty() || text.size() > size_t(std::numeric_limits<int32_t>::max()))
        return false;
    const int32_t length = int32_t(text.size());
    NoteTaker notes(tree, warnings);
    XmlParser parser;
    parser.handler = &notes;
    try {
        parser.Parse(text.data(), length);
    } catch (const std::exception &) {
        // Out of memory: the tree keeps what was built, as the relay's does.
    }
    tree->current = nullptr;
    return scan_level(text.data(), length, "", 1, warnings);
}
