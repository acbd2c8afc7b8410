// What the relay's reader and readers make of each key: the top element, the
// names of the elements that hold keys, and every value.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "check_rules.h"
#include "net/net.h"
#include "relay/game_server_thunk.h"

namespace {

const char STREAM_SPACE[] = " \t\n\v\f\r";
const char SWITCH_FIX[] = "write 0 or 1";
const char INTERVAL_FIX[] = "write milliseconds, 1000 or more";
const char TIMEOUT_FIX[] = "write milliseconds, 1000 or more, or 0 for the platform's own time-out";
const char BYTES_FIX[] = "write bytes, 4096 or more, or 0 for the platform's own sizing";
const char PORT_FIX[] = "write a port from 1 to 65535";
const char IP_FIX[] = "write the server's dotted IPv4 address";
// The least time-out that a connection over a slow path survives, and the
// least send buffer that platforms keep as given.
const uint32_t LEAST_TIMEOUT_MS = 1000;
const uint32_t LEAST_BUFFER_BYTES = 4096;

bool is_space(char c) {
    return c != '\0' && std::strchr(STREAM_SPACE, c) != nullptr;
}

void warn(Warnings *warnings, const std::string &text) {
    warnings->push_back("warning: " + text);
}

// The value the relay will use for a key, as the key table shows it.
std::string used(const std::vector<CheckedKey> &keys, const std::string &keyPath) {
    for (const CheckedKey &key : keys) {
        if (key.name == config_short_key(keyPath))
            return key.value;
    }
    return std::string();
}

// The keys an element holds, with the values the relay uses: "ip 127.0.0.1,
// port 15306".
std::string keys_in(const std::string &level, const std::vector<CheckedKey> &keys) {
    std::string list;
    for (const char *key : CONFIG_KEY_PATHS) {
        if (element_path(key) == level)
            list += (list.empty() ? "" : ", ") + leaf_name(key) + " " + used(keys, key);
    }
    return list;
}

bool has_child(const XmlNode &node, const std::string &name) {
    return std::any_of(node.children.begin(), node.children.end(),
                       [&name](const XmlNode &child) { return child.name == name; });
}

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Edits between two names, letter case aside.
size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + change});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The key or key-holding element whose last name the name nearly is
// (another case, or at most two letters off in a name of six or more), or
// that has this name at another level; empty when none.
std::string near_key(const std::string &name) {
    std::vector<std::string> candidates(std::begin(CONFIG_KEY_PATHS), std::end(CONFIG_KEY_PATHS));
    const std::vector<std::string> levels = key_levels();
    candidates.insert(candidates.end(), levels.begin() + 1, levels.end());
    std::string best;
    size_t bestDistance = 3;
    for (const std::string &candidate : candidates) {
        const std::string last = leaf_name(candidate);
        const size_t distance = edit_distance(name, last);
        if ((distance == 0 || last.size() >= 6) && distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

// ---- The top element and the names of the elements that hold keys --------

bool check_top(const XmlDocument &doc, bool bFileScanStopped, Warnings *warnings) {
    const std::string top = leaf_name(key_levels().front());
    const std::string &name = doc.Tree().top.name;
    if (name == top)
        return true;
    const std::string uses = "the relay finds no key and uses every default; ";
    if (name.empty() && !bFileScanStopped)
        warn(warnings, "the file holds no <" + top + "> element with keys inside; " + uses +
                           "write the keys inside <" + top + ">");
    else if (!name.empty() && edit_distance(name, top) == 0)
        warn(warnings, "the top element is <" + name + ">; names are case-sensitive, so " + uses +
                           "name it <" + top + ">");
    else if (!name.empty())
        warn(warnings, "the top element is <" + escaped(name) + ">, not <" + top + ">; " + uses +
                           "name it <" + top + ">");
    return false;
}

void check_name(const XmlDocument &doc, const std::string &level, const std::string &name,
                const XmlLeaf *leaf, const std::vector<CheckedKey> &keys, Warnings *warnings) {
    const std::string path = level + ":" + name;
    if (is_key_path(path))
        return; // its value rules speak for it
    if (is_key_level(path)) {
        if (leaf && !is_blank(leaf->text) && !doc.FindElement(path))
            warn(warnings, config_short_key(path) + " holds the text " + quoted(leaf->text) +
                               " and no elements; the relay uses " + keys_in(path, keys) +
                               "; write each as an element inside <" + name + ">");
        return;
    }
    if (has_line_space(name)) {
        const std::string prefix = name.substr(0, name.find_first_of("\t\r\n"));
        const char *what = name[prefix.size()] == '\t' ? "a tab" : "a line break";
        const std::string key = level + ":" + prefix;
        warn(warnings, "<" + prefix + " is followed by " + what +
                           ": a tag name ends only at a blank, so the relay reads an element " +
                           "named " + quoted(name) + ", which is no key" +
                           (is_key_path(key) ? " (it uses " + used(keys, key) + " for " +
                                                   config_short_key(key) + ")"
                                             : "") +
                           "; put a blank or '>' right after the name");
        return;
    }
    const std::string key = near_key(name);
    if (key.empty()) {
        warn(warnings, config_short_key(path) +
                           " is not a key the relay reads; it is ignored; remove " +
                           "it or check its spelling");
        return;
    }
    const bool bSameLevel = element_path(key) == level;
    warn(warnings, config_short_key(path) + " is not a key the relay reads; it reads " +
                       config_short_key(key) + (leaf_name(key) == name ? "" : ", spelt so,") +
                       " and uses " + (is_key_path(key) ? used(keys, key) : keys_in(key, keys)) +
                       "; " +
                       (bSameLevel ? "rename the element " + leaf_name(key)
                                   : "write it as <" + leaf_name(key) + "> inside <" +
                                         leaf_name(element_path(key)) + ">"));
}

void check_names(const XmlDocument &doc, const std::vector<CheckedKey> &keys, Warnings *warnings) {
    for (const std::string &level : key_levels()) {
        const XmlNode *node = doc.FindElement(level);
        if (!node)
            continue;
        for (const XmlLeaf &leaf : node->leaves)
            check_name(doc, level, leaf.name, &leaf, keys, warnings);
        for (auto child = node->children.begin(); child != node->children.end(); ++child) {
            const auto same = [&child](const XmlNode &other) { return other.name == child->name; };
            if (std::none_of(node->children.begin(), child, same)) // once per name
                check_name(doc, level, child->name, nullptr, keys, warnings);
        }
    }
}

// ---- Where the value is written ---------------------------------------------

// The value of the attribute called name in raw attribute text (name="v",
// name='v' or name=v); false when there is none.
bool attribute_value(const std::string &attributes, const std::string &name, std::string *value) {
    for (size_t at = attributes.find(name); at != std::string::npos;
         at = attributes.find(name, at + 1)) {
        size_t eq = attributes.find_first_not_of(STREAM_SPACE, at + name.size());
        const bool bWordStart = at == 0 || is_space(attributes[at - 1]);
        if (!bWordStart || eq == std::string::npos || attributes[eq] != '=')
            continue;
        size_t first = attributes.find_first_not_of(STREAM_SPACE, eq + 1);
        if (first == std::string::npos)
            first = attributes.size();
        const bool bQuoted =
            first < attributes.size() && (attributes[first] == '"' || attributes[first] == '\'');
        const std::string ends = bQuoted ? std::string(1, attributes[first]) : STREAM_SPACE;
        const size_t begin = bQuoted ? first + 1 : first;
        const size_t end = std::min(attributes.find_first_of(ends, begin), attributes.size());
        *value = attributes.substr(begin, end - begin);
        return true;
    }
    return false;
}

// The raw attribute text of the element at a path, whether the reader kept
// it as a node or, holding no elements, as a leaf of its parent.
std::string element_attributes(const XmlDocument &doc, const std::string &level) {
    if (const XmlNode *node = doc.FindElement(level))
        return node->attributeText;
    if (element_path(level).empty())
        return std::string();
    const XmlNode *parent = doc.FindElement(element_path(level));
    const XmlLeaf *leaf = parent ? parent->FindLeaf(leaf_name(level)) : nullptr;
    return leaf ? leaf->attributeText : std::string();
}

// where is the element that carries the attribute, shown its raw text.
void warn_attribute(const char *keyPath, const std::string &where, const std::string &shown,
                    const std::string &value, const std::string &used, Warnings *warnings) {
    const std::string leaf = leaf_name(keyPath);
    warn(warnings, config_short_key(keyPath) + " is written as an attribute of <" + where + ">, " +
                       shown + "; the relay reads only the text between tags and uses " + used +
                       "; write <" + leaf + ">" + value + "</" + leaf + "> inside <" +
                       leaf_name(element_path(keyPath)) + ">");
}

// The leaf the relay reads a key's value from, or null when it reads none.
// Warns when the file gives the value where the reader does not look: in an
// attribute, or after markup that makes the element a node.
const XmlLeaf *written_leaf(const XmlDocument &doc, const char *keyPath, const std::string &used,
                            Warnings *warnings) {
    const std::string level = element_path(keyPath);
    const std::string name = leaf_name(keyPath);
    const XmlNode *node = doc.FindElement(level);
    const XmlLeaf *leaf = node ? node->FindLeaf(name) : nullptr;
    std::string value;
    if (leaf && (!is_blank(leaf->text) || leaf->attributeText.empty()))
        return leaf;
    if (leaf) {
        const size_t eq = leaf->attributeText.find('=');
        const std::string attribute =
            eq == std::string::npos ? "" : leaf->attributeText.substr(0, eq);
        attribute_value(leaf->attributeText, attribute, &value);
        warn_attribute(keyPath, name, leaf->attributeText, value, used, warnings);
    } else if (node && has_child(*node, name)) {
        warn(warnings, config_short_key(keyPath) +
                           " holds a '<' (a comment or other markup), so the " +
                           "relay reads it as an element, not a value, and uses " + used +
                           "; put comments outside the element");
    } else if (attribute_value(element_attributes(doc, level), name, &value)) {
        warn_attribute(keyPath, leaf_name(level), name + "=" + quoted(value), value, used,
                       warnings);
    }
    return nullptr;
}

// ---- Values -----------------------------------------------------------------

bool is_negative(const std::string &text) {
    const size_t first = text.find_first_not_of(STREAM_SPACE);
    return first != std::string::npos && text[first] == '-';
}

// What the reader ignores after the number at the start of the text, white
// space at the end aside.
std::string after_number(const std::string &text) {
    size_t at = text.find_first_not_of(STREAM_SPACE);
    if (at == std::string::npos)
        return std::string();
    if (text[at] == '+' || text[at] == '-')
        ++at;
    at = text.find_first_not_of("0123456789", at);
    if (at == std::string::npos)
        return std::string();
    return text.substr(at, text.find_last_not_of(STREAM_SPACE) + 1 - at);
}

void warn_unread_number(const char *keyPath, const std::string &text, bool bSwitch,
                        const std::string &used, const char *fix, Warnings *warnings) {
    std::string why = " " + quoted(text) + " is not a decimal number";
    if (is_blank(text))
        why = " is empty";
    else if (bSwitch)
        why = " " + quoted(text) + " is not 0 or 1";
    else if (after_number(text).empty())
        why = " " + quoted(text) + " is too large for the reader";
    warn(warnings, config_short_key(keyPath) + why + "; the relay uses " + used + "; " + fix);
}

void warn_trailing(const char *keyPath, const std::string &text, long long read,
                   Warnings *warnings) {
    const std::string tail = after_number(text);
    if (tail.empty())
        return;
    const std::string head = config_short_key(keyPath) + " " + quoted(text);
    const std::string ignores = std::to_string(read) + " and ignores " + quoted(tail);
    const bool bHex = read == 0 && (tail[0] == 'x' || tail[0] == 'X') && tail.size() > 1;
    char *end = nullptr;
    const unsigned long long hex = bHex ? std::strtoull(tail.c_str() + 1, &end, 16) : 0;
    if (bHex && *end == '\0')
        warn(warnings, head + " is hexadecimal, which the relay does not read: it reads " +
                           ignores + "; write it in decimal, " + std::to_string(hex));
    else
        warn(warnings, head + " has characters after the number; the relay reads " + ignores +
                           "; write digits only");
}

void check_switch(const XmlDocument &doc, const char *keyPath, const ConfigValue<bool> &value,
                  const std::vector<CheckedKey> &keys, Warnings *warnings) {
    const XmlLeaf *leaf = written_leaf(doc, keyPath, used(keys, keyPath), warnings);
    if (leaf && !value.bFound)
        warn_unread_number(keyPath, leaf->text, true, used(keys, keyPath), SWITCH_FIX, warnings);
    else if (leaf)
        warn_trailing(keyPath, leaf->text, value.value ? 1 : 0, warnings);
}

// What the rules of an unsigned number say: how to write it, what follows
// the warning of a negative number (which wraps around), and the whole
// warning for a value that is too small (empty when it is not).
struct UnsignedTexts {
    const char *fix;
    std::string negative;
    std::string tooSmall;
};

// A text that does not convert, characters after the number, a negative
// number, then a value too small.
void check_unsigned(const XmlDocument &doc, const char *keyPath, const ConfigValue<uint32_t> &value,
                    const UnsignedTexts &texts, const std::vector<CheckedKey> &keys,
                    Warnings *warnings) {
    const XmlLeaf *leaf = written_leaf(doc, keyPath, used(keys, keyPath), warnings);
    if (!leaf)
        return;
    if (!value.bFound) {
        warn_unread_number(keyPath, leaf->text, false, used(keys, keyPath), texts.fix, warnings);
        return;
    }
    warn_trailing(keyPath, leaf->text, value.value, warnings);
    if (is_negative(leaf->text) && value.value != 0)
        warn(warnings, config_short_key(keyPath) + " " + quoted(leaf->text) +
                           " is negative and reads as " + used(keys, keyPath) + "; " +
                           texts.negative);
    else if (!texts.tooSmall.empty())
        warn(warnings, texts.tooSmall);
}

void check_interval(const XmlDocument &doc, const char *keyPath, const ConfigValue<uint32_t> &value,
                    const std::vector<CheckedKey> &keys, Warnings *warnings) {
    const std::string pace = "the relay's pace is " +
                             std::string(key_texts(keyPath, CONFIG_KIND_PACE).set) + " " +
                             pace_text(value.value) + "; " + INTERVAL_FIX;
    const std::string tooSmall = value.value < MONITOR_PASS_MS
                                     ? config_short_key(keyPath) + " " + used(keys, keyPath) +
                                           " is below 1000; the monitor counts whole seconds, so " +
                                           pace
                                     : std::string();
    check_unsigned(doc, keyPath, value, {INTERVAL_FIX, pace, tooSmall}, keys, warnings);
}

// A time-out or size: 0 leaves it to the platform; a value not 0 below the
// least sensible one gets the key's warning of what goes wrong.
void check_limit(const XmlDocument &doc, const char *keyPath, ConfigKind kind,
                 const ConfigValue<uint32_t> &value, const std::vector<CheckedKey> &keys,
                 Warnings *warnings) {
    const bool bBytes = kind == CONFIG_KIND_BYTES;
    const uint32_t least = bBytes ? LEAST_BUFFER_BYTES : LEAST_TIMEOUT_MS;
    const char *fix = bBytes ? BYTES_FIX : TIMEOUT_FIX;
    const std::string tooSmall = value.value != 0 && value.value < least
                                     ? config_short_key(keyPath) + " " + used(keys, keyPath) +
                                           " is below " + std::to_string(least) + ": " +
                                           key_texts(keyPath, kind).tooSmall + "; " + fix
                                     : std::string();
    check_unsigned(doc, keyPath, value, {fix, fix, tooSmall}, keys, warnings);
}

void check_port(const XmlDocument &doc, const char *keyPath, const ConfigValue<int32_t> &value,
                const std::vector<CheckedKey> &keys, Warnings *warnings) {
    const std::string port = used(keys, keyPath);
    const XmlLeaf *leaf = written_leaf(doc, keyPath, port, warnings);
    if (!leaf)
        return;
    if (!value.bFound) {
        warn_unread_number(keyPath, leaf->text, false, port, PORT_FIX, warnings);
        return;
    }
    warn_trailing(keyPath, leaf->text, value.value, warnings);
    const std::string head = config_short_key(keyPath) + " " + std::to_string(value.value);
    const std::string connects = "; the relay connects to port " + port + "; " + PORT_FIX;
    if (value.value > 65535)
        warn(warnings, head + " is above 65535" + connects);
    else if (value.value < 0)
        warn(warnings, head + " is below 0" + connects);
    else if (value.value == 0)
        warn(warnings, head + " is no port a server can listen on; every connection attempt " +
                           "fails; " + PORT_FIX);
}

std::string without_white_space(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), is_space), text.end());
    return text;
}

void check_ip(const XmlDocument &doc, const char *keyPath, const ConfigValue<std::string> &value,
              const std::vector<CheckedKey> &keys, Warnings *warnings) {
    const std::string host = used(keys, keyPath);
    const XmlLeaf *leaf = written_leaf(doc, keyPath, host, warnings);
    if (!leaf || !value.bFound)
        return;
    const std::string key = config_short_key(keyPath);
    const std::string oneLine = without_white_space(value.value);
    uint32_t address = 0;
    if (parse_dotted_ipv4(value.value, &address) == 0) {
        if (!is_connectable_host(address))
            warn(warnings, key + " " + host + " is an address the relay never tries: it makes " +
                               "no connection attempt; " + IP_FIX);
    } else if (is_blank(value.value)) {
        warn(warnings, key + " is empty; the relay tries " + host + "; " + IP_FIX);
    } else if (value.value.find_first_of("\r\n") != std::string::npos &&
               parse_dotted_ipv4(oneLine, &address) == 0) {
        warn(warnings, key + " " + quoted(value.value) + " holds line breaks, so to the relay " +
                           "it is no dotted address, and it tries " + host + "; write it on " +
                           "one line with its tags: <ip>" + oneLine + "</ip>");
    } else {
        warn(warnings, key + " " + quoted(value.value) + " is not a dotted IPv4 address; the " +
                           "relay tries " + host + "; " + IP_FIX);
    }
}

// The rules of a key's kind, picked by the type of its value.
void check_value(const XmlDocument &doc, const char *keyPath, ConfigKind,
                 const ConfigValue<bool> &value, const std::vector<CheckedKey> &keys,
                 Warnings *warnings) {
    check_switch(doc, keyPath, value, keys, warnings);
}

void check_value(const XmlDocument &doc, const char *keyPath, ConfigKind kind,
                 const ConfigValue<uint32_t> &value, const std::vector<CheckedKey> &keys,
                 Warnings *warnings) {
    if (kind == CONFIG_KIND_PACE)
        check_interval(doc, keyPath, value, keys, warnings);
    else
        check_limit(doc, keyPath, kind, value, keys, warnings);
}

void check_value(const XmlDocument &doc, const char *keyPath, ConfigKind,
                 const ConfigValue<int32_t> &value, const std::vector<CheckedKey> &keys,
                 Warnings *warnings) {
    check_port(doc, keyPath, value, keys, warnings);
}

void check_value(const XmlDocument &doc, const char *keyPath, ConfigKind,
                 const ConfigValue<std::string> &value, const std::vector<CheckedKey> &keys,
                 Warnings *warnings) {
    check_ip(doc, keyPath, value, keys, warnings);
}

} // namespace

void add_key_warnings(const XmlDocument &doc, const RelayConfig &config,
                      const std::vector<CheckedKey> &keys, bool bFileScanStopped,
                      Warnings *warnings) {
    if (!check_top(doc, bFileScanStopped, warnings))
        return;
    check_names(doc, keys, warnings);
#define CHECK_KEY_VALUE(NAME, field, path, type, def, kind, readers, named)                        \
    check_value(doc, path, kind, config.field, keys, warnings);
    RELAY_CONFIG_KEYS(CHECK_KEY_VALUE)
#undef CHECK_KEY_VALUE
}
