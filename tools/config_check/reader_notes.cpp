// What the relay's reader noted while it read the file, as its document
// holds it: a second top element, keys and key-holding elements given twice,
// keys outside the top element, and where its scan of a level that holds
// keys ended early.
#include <algorithm>

#include "check_rules.h"

namespace {

void warn(Warnings *warnings, const std::string &text) {
    warnings->push_back("warning: " + text);
}

std::string key_name(const std::string &level, const std::string &name) {
    return config_short_key(level + ":" + escaped(name));
}

bool is_key_leaf_name(const std::string &name) {
    return std::any_of(std::begin(CONFIG_KEY_PATHS), std::end(CONFIG_KEY_PATHS),
                       [&name](const char *key) { return leaf_name(key) == name; });
}

void warn_top_renamed(const XmlDocument &doc, Warnings *warnings) {
    const std::vector<std::string> &former = doc.Outside().formerTopNames;
    for (size_t i = 0; i < former.size(); ++i) {
        const std::string name =
            escaped(i + 1 < former.size() ? former[i + 1] : doc.Tree().top.name);
        warn(warnings, "a second top-level element <" + name + "> follows <" + escaped(former[i]) +
                           ">; the relay reads the two as one element " + "named <" + name +
                           ">, a key given in both taking the later value; " +
                           "keep one top element");
    }
}

// In the elements that the relay's lookups reach.
void warn_given_twice(const XmlDocument &doc, const std::string &level, Warnings *warnings) {
    const XmlNode *node = doc.FindElement(level);
    if (!node)
        return;
    const auto &children = node->children;
    for (auto child = children.begin(); child != children.end(); ++child) {
        const auto same = [&child](const XmlNode &other) { return other.name == child->name; };
        if (is_key_level(level + ":" + child->name) && std::any_of(children.begin(), child, same))
            warn(warnings, key_name(level, child->name) + " is given twice; the relay reads " +
                               "only the first; remove the second");
    }
    const std::vector<XmlLeaf> &replaced = node->replaced;
    for (auto leaf = replaced.begin(); leaf != replaced.end(); ++leaf) {
        const XmlLeaf *kept = node->FindLeaf(leaf->name);
        if (!kept || !is_key_path(level + ":" + leaf->name))
            continue;
        const auto same = [&leaf](const XmlLeaf &other) { return other.name == leaf->name; };
        const auto later = std::find_if(leaf + 1, replaced.end(), same);
        warn(warnings, key_name(level, leaf->name) + " is given twice; the relay reads the " +
                           "later one, " +
                           quoted(later == replaced.end() ? kept->text : later->text) + ", not " +
                           quoted(leaf->text) + "; remove one");
    }
}

void warn_dropped(const XmlDocument &doc, Warnings *warnings) {
    for (const XmlLeaf &leaf : doc.Outside().droppedLeaves) {
        if (is_key_leaf_name(leaf.name))
            warn(warnings, "<" + leaf.name + "> lies outside the top element; the relay drops " +
                               "it; move it inside <" + leaf_name(key_levels().front()) + ">");
    }
}

std::string stop_at_line_space(const std::string &name, const std::string &level) {
    const size_t space = name.find_first_of("\t\r\n");
    const char *what = name[space] == '\t' ? "a tab" : "a line break";
    return "<" + name.substr(0, space) + " is followed by " + what +
           ": a tag name ends only at a blank, so the relay never finds this element's " +
           "closing tag and stops reading " + level_text(level) + " there: nothing from there " +
           "on in it is read; put a blank or '>' right after the name";
}

std::string stop_at_tag(const XmlScanStop &stop, const std::string &level) {
    const std::string tag = stop.tag.size() > 60 ? stop.tag.substr(0, 57) + "..." : stop.tag;
    const bool bClosed = stop.tag.back() == '>';
    std::string fix = "close the tag or remove it";
    if (stop.bAfterComment && stop.tag.compare(0, 2, "</") == 0)
        fix = "a comment ends at its first '>', so a tag inside a comment ends it early; " +
              std::string("keep tags out of comments");
    return "the relay stops reading " + level_text(level) + " at " + quoted(tag) +
           (bClosed ? ", a tag it finds no closing tag for" : ", a '<' with no '>' after it") +
           ": nothing from there on in it is read; " + fix;
}

void warn_stops(const std::vector<XmlScanStop> &stops, const std::string &level,
                Warnings *warnings) {
    for (const XmlScanStop &stop : stops)
        warn(warnings, has_line_space(stop.tagName) ? stop_at_line_space(stop.tagName, level)
                                                    : stop_at_tag(stop, level));
}

// Every element at a level that holds keys, not only the one lookups reach:
// what is nested inside first, as the reader's scan ends there first.
void warn_stops_within(const XmlNode &node, const std::string &level, Warnings *warnings) {
    for (const XmlNode &child : node.children) {
        const std::string inner = level + ":" + child.name;
        if (is_key_level(inner))
            warn_stops_within(child, inner, warnings);
    }
    warn_stops(node.stops, level, warnings);
}

} // namespace

bool add_reader_warnings(const XmlDocument &doc, Warnings *warnings) {
    warn_top_renamed(doc, warnings);
    for (const std::string &level : key_levels())
        warn_given_twice(doc, level, warnings);
    warn_dropped(doc, warnings);
    const XmlNode &top = doc.Tree().top;
    if (!top.name.empty() && is_key_level(top.name))
        warn_stops_within(top, top.name, warnings);
    warn_stops(doc.Outside().fileStops, "", warnings);
    return !doc.Outside().fileStops.empty();
}
