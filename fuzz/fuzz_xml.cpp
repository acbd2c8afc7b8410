// Loads arbitrary text with XmlDocument::LoadText and reads it back with every
// Get overload: on the configuration's keys, on the path of every leaf of
// the tree built, and on key paths taken from the input. Checks that a
// failed Get stores the default, that a leaf's path finds its text, and that
// the numeric readings agree with the string reading.
//
// Input layout: when the input holds a NUL byte, the text after the last one
// is a list of key paths, one a line, and the text before it is the
// document; otherwise all of it is the document.
#include "config/config_keys.h"
#include "config/xml.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"

namespace {

const size_t MAX_TREE_KEYS = 64;
const size_t MAX_INPUT_KEYS = 16;
const size_t MAX_TAG_NAMES = 8;

// What the numeric Gets must make of a leaf's text, worked out with the C
// library's reader: white space, one sign, decimal digits, the rest ignored.
struct Number {
    bool bConverts = false; // digits were read and the value fits a long long
    long long value = 0;
};

Number ReadNumber(const std::string &text) {
    Number number;
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(begin, &end, 10);
    number.bConverts = end != begin && errno != ERANGE;
    number.value = value;
    return number;
}

void CheckNumbers(XmlDocument &doc, const char *key, bool bFound, const std::string &text) {
    const Number number = bFound ? ReadNumber(text) : Number();
    const long long v = number.value;
    const unsigned long long magnitude = v < 0 ? 0ull - (unsigned long long)v : v;

    int32_t i32 = 0x5A5A5A5A;
    const bool bI32 = doc.Get(key, i32, -7);
    const bool bI32Expected = number.bConverts && v >= INT32_MIN && v <= INT32_MAX;
    FUZZ_CHECK(bI32 == bI32Expected, "int32 Get of \"%s\" reported %d for text \"%s\"", key, bI32,
               text.c_str());
    FUZZ_CHECK(i32 == (bI32 ? int32_t(v) : -7), "int32 Get of \"%s\" stored %d", key, i32);

    uint32_t u32 = 0xA5A5A5A5u;
    const bool bU32 = doc.Get(key, u32, 4000000000u);
    const bool bU32Expected = number.bConverts && magnitude <= 0xFFFFFFFFull;
    FUZZ_CHECK(bU32 == bU32Expected, "uint32 Get of \"%s\" reported %d for text \"%s\"", key, bU32,
               text.c_str());
    const uint32_t u32Expected = v < 0 ? 0u - uint32_t(magnitude) : uint32_t(magnitude);
    FUZZ_CHECK(u32 == (bU32 ? u32Expected : 4000000000u), "uint32 Get of \"%s\" stored %u", key,
               u32);

    for (bool def : {false, true}) {
        bool b = !def;
        const bool bBool = doc.Get(key, b, def);
        const bool bBoolExpected = number.bConverts && (v == 0 || v == 1);
        FUZZ_CHECK(bBool == bBoolExpected, "bool Get of \"%s\" reported %d for text \"%s\"", key,
                   bBool, text.c_str());
        FUZZ_CHECK(b == (bBool ? v == 1 : def), "bool Get of \"%s\" stored %d", key, b);
    }
}

// Reads one key with every overload; the string Get's text goes to *pText.
// Returns whether the string Get found the key.
bool CheckKey(XmlDocument &doc, const char *key, std::string *pText) {
    *pText = "\x01not default";
    const bool bFound = doc.Get(key, *pText, "default text");
    FUZZ_CHECK(bFound || *pText == "default text", "failed string Get of \"%s\" stored \"%s\"", key,
               pText->c_str());
    CheckNumbers(doc, key, bFound, *pText);
    return bFound;
}

bool CheckKey(XmlDocument &doc, const char *key) {
    std::string text;
    return CheckKey(doc, key, &text);
}

bool UsableInPath(const std::string &name) {
    return !name.empty() && name.find(':') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// Every leaf that a key path can reach must be found by it, with its text.
// Lookups take the first element of a name, so later ones are skipped.
// *pKey holds the node's path on entry and again on return.
void CheckTreeKeys(XmlDocument &doc, const XmlNode &node, std::string *pKey, size_t *pBudget) {
    const size_t prefixSize = pKey->size();
    std::string text;
    for (size_t i = 0; i < node.leaves.size(); ++i) {
        const XmlLeaf &leaf = node.leaves[i];
        for (size_t j = 0; j < i; ++j)
            FUZZ_CHECK(node.leaves[j].name != leaf.name, "two leaves named \"%s\"",
                       leaf.name.c_str());
        if (!UsableInPath(leaf.name) || *pBudget == 0)
            continue;
        --*pBudget;
        pKey->append(":").append(leaf.name);
        FUZZ_CHECK(CheckKey(doc, pKey->c_str(), &text) && text == leaf.text,
                   "leaf \"%s\" not found with its text", pKey->c_str());
        pKey->resize(prefixSize);
    }
    for (size_t i = 0; i < node.children.size(); ++i) {
        const XmlNode &child = node.children[i];
        bool bFirst = UsableInPath(child.name);
        for (size_t j = 0; j < i && bFirst; ++j)
            bFirst = node.children[j].name != child.name;
        if (!bFirst)
            continue;
        pKey->append(":").append(child.name);
        CheckTreeKeys(doc, child, pKey, pBudget);
        pKey->resize(prefixSize);
    }
}

// Tag names in the input, joined into paths of one to three components.
// The names joined with colons.
std::string Path(std::initializer_list<std::string_view> names) {
    std::string path;
    for (const std::string_view *name = names.begin(); name != names.end(); ++name)
        path.append(name == names.begin() ? "" : ":").append(*name);
    return path;
}

std::vector<std::string> KeysFromTags(std::string_view text) {
    std::vector<std::string_view> names;
    names.reserve(MAX_TAG_NAMES);
    for (size_t at = text.find('<'); at != std::string::npos && names.size() < MAX_TAG_NAMES;
         at = text.find('<', at + 1)) {
        size_t end = text.find_first_of(" />", at + 1);
        if (end == std::string::npos)
            break;
        names.push_back(text.substr(at + 1, end - at - 1));
    }
    std::vector<std::string> keys;
    keys.reserve(3 * names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        keys.push_back(Path({names[i]}));
        if (i + 1 < names.size())
            keys.push_back(Path({names[i], names[i + 1]}));
        if (i + 2 < names.size())
            keys.push_back(Path({names[i], names[i + 1], names[i + 2]}));
    }
    return keys;
}

std::vector<std::string> KeysFromLines(std::string_view text) {
    std::vector<std::string> keys;
    keys.reserve(MAX_INPUT_KEYS);
    size_t from = 0;
    while (from <= text.size() && keys.size() < MAX_INPUT_KEYS) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        keys.emplace_back(text.substr(from, end - from));
        from = end + 1;
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = size > 0 ? reinterpret_cast<const char *>(data) : "";
    size_t docSize = size;
    std::vector<std::string> keys;
    const void *nul = size > 0 ? std::memchr(text, '\0', size) : nullptr;
    if (nul) {
        // Split at the last NUL byte.
        docSize = size;
        while (text[docSize - 1] != '\0')
            --docSize;
        --docSize;
        keys = KeysFromLines(std::string_view(text + docSize + 1, size - docSize - 1));
    }

    XmlDocument doc;
    FUZZ_CHECK(doc.LoadText(text, int32_t(docSize)), "LoadText refused %zu bytes", docSize);
    FUZZ_CHECK(doc.Tree().current == nullptr, "an element is still open after loading");

    for (const char *key : CONFIG_KEY_PATHS)
        CheckKey(doc, key);
    const XmlNode &top = doc.Tree().top;
    size_t budget = MAX_TREE_KEYS;
    std::string path = top.name;
    if (UsableInPath(top.name))
        CheckTreeKeys(doc, top, &path, &budget);
    for (const std::string &key : KeysFromTags(std::string_view(text, docSize)))
        CheckKey(doc, key.c_str());
    for (const std::string &key : keys)
        CheckKey(doc, key.c_str());
    return 0;
}
