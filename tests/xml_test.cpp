#include "config/xml.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::unique_ptr<XmlDocument> Parsed(const std::string &text) {
    auto doc = std::make_unique<XmlDocument>();
    EXPECT_TRUE(doc->LoadText(text.data(), int32_t(text.size())));
    return doc;
}

// A document holding one leaf "T:v" with the given text.
std::unique_ptr<XmlDocument> OneLeaf(const std::string &text) {
    return Parsed("<T><v>" + text + "</v></T>");
}

std::string TempPath(const char *name) {
    return testing::TempDir() + "xml_test_" + name;
}

void WriteFile(const std::string &path, const std::string &contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

const char *const kConfig = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
                            "<!-- relay settings -->\r\n"
                            "<GameThunkServer>\r\n"
                            "    <GameThunkServer_Start>1</GameThunkServer_Start>\r\n"
                            "    <Console>0</Console>\r\n"
                            "    <LogConnectionError>1</LogConnectionError>\r\n"
                            "    <TryConnectionInteval>60000</TryConnectionInteval>\r\n"
                            "    <MaxCheckConnectionInterval>30000</MaxCheckConnectionInterval>\r\n"
                            "    <VOZevezu_Host>\r\n"
                            "        <ip>10.1.2.3</ip>\r\n"
                            "        <port>15306</port>\r\n"
                            "    </VOZevezu_Host>\r\n"
                            "</GameThunkServer>\r\n";

// Records handler calls as short strings: "+name", "name=text", "-name".
struct Recorder : XmlHandler {
    std::vector<std::string> events;
    void OnElementBegin(const std::string &name, const std::string &) override {
        events.push_back("+" + name);
    }
    void OnLeaf(const std::string &name, const std::string &text, const std::string &) override {
        events.push_back(name + "=" + text);
    }
    void OnElementEnd(const std::string &name, const std::string &) override {
        events.push_back("-" + name);
    }
};

std::vector<std::string> Events(const std::string &text) {
    Recorder recorder;
    XmlParser parser;
    parser.handler = &recorder;
    parser.Parse(text.data(), int32_t(text.size()));
    return recorder.events;
}

// The cursor keeps a pointer into the text, which must outlive it.
XmlTagCursor CursorOn(const char *text) {
    XmlTagCursor cursor;
    EXPECT_TRUE(cursor.SetRange(text, int32_t(std::strlen(text))));
    return cursor;
}

} // namespace

// ---- Tag cursor ------------------------------------------------------------

TEST(XmlTagCursor, NewAndInvalidRanges) {
    XmlTagCursor cursor;
    EXPECT_EQ(0, cursor.Position());
    EXPECT_EQ("", cursor.Name()); // no tag and no content yet
    EXPECT_EQ(nullptr, cursor.ContentPtr());
    EXPECT_FALSE(cursor.NextElement());
    EXPECT_FALSE(cursor.SetRange(nullptr, 5));
    EXPECT_FALSE(cursor.SetRange("<a/>", 0));
    EXPECT_FALSE(cursor.NextElement());
}

TEST(XmlTagCursor, OffsetsOfElementAndSelfClosingTag) {
    const char *text = "<a b=\"1\">x</a> <c/>";
    XmlTagCursor cursor = CursorOn(text);
    ASSERT_TRUE(cursor.NextElement());
    // The tag runs from 0 to 8: its name and attributes fill it, and the
    // content starts right after its '>'.
    EXPECT_EQ("a", cursor.Name());
    EXPECT_EQ("b=\"1\"", cursor.AttributeText());
    EXPECT_EQ(text + 9, cursor.ContentPtr());
    // The closing tag starts at 10, right after the content.
    EXPECT_EQ("x", cursor.Content());
    EXPECT_EQ(1, cursor.ContentLength());
    EXPECT_EQ(15, cursor.Position()); // the next '<'
    EXPECT_FALSE(cursor.ContentHasTag());

    ASSERT_TRUE(cursor.NextElement());
    EXPECT_TRUE(cursor.IsSelfClosing());
    EXPECT_EQ("c", cursor.Name());
    EXPECT_EQ("", cursor.AttributeText());
    EXPECT_EQ(0, cursor.ContentLength());
    EXPECT_EQ(19, cursor.Position());
    EXPECT_FALSE(cursor.NextElement());

    // Without a later '<' the position stays on the closing tag's '>'.
    XmlTagCursor last = CursorOn("<a>1</a>\r\n  ");
    ASSERT_TRUE(last.NextElement());
    EXPECT_EQ(7, last.Position());
    XmlTagCursor closing = CursorOn("<a b=\"1\">x</a> ");
    ASSERT_TRUE(closing.NextElement());
    EXPECT_EQ(13, closing.Position()); // the closing tag ends at 13
}

TEST(XmlTagCursor, NameEndsOnlyAtBlank) {
    XmlTagCursor tab = CursorOn("<a\tb>x</a\tb>");
    ASSERT_TRUE(tab.NextElement());
    EXPECT_EQ("a\tb", tab.Name());
    EXPECT_FALSE(CursorOn("<a\n>x</a>").NextElement());

    XmlTagCursor blank = CursorOn("<a >x</a>");
    ASSERT_TRUE(blank.NextElement());
    EXPECT_EQ("", blank.AttributeText()); // a lone blank separates nothing
    XmlTagCursor two = CursorOn("<a  >x</a>");
    ASSERT_TRUE(two.NextElement());
    EXPECT_EQ(" ", two.AttributeText());
}

TEST(XmlTagCursor, DeclarationsAndComments) {
    XmlTagCursor decl = CursorOn("<?xml version=\"1.0\"?><a>1</a>");
    ASSERT_TRUE(decl.NextElement());
    EXPECT_TRUE(decl.IsDeclOrComment());
    EXPECT_EQ(21, decl.Position());
    XmlTagCursor comment = CursorOn("<!--note--><a>1</a>");
    ASSERT_TRUE(comment.NextElement());
    EXPECT_TRUE(comment.IsDeclOrComment());
    XmlTagCursor pi = CursorOn("<?xm?>");
    EXPECT_FALSE(pi.NextElement()); // no closing tag for an unknown construct
    EXPECT_FALSE(pi.IsDeclOrComment());
}

TEST(XmlTagCursor, SameNameNestingCountsOnlyBareOpeningTag) {
    XmlTagCursor bare = CursorOn("<a><a>1</a></a>");
    ASSERT_TRUE(bare.NextElement());
    EXPECT_EQ("<a>1</a>", bare.Content()); // the outer closing tag starts at 11
    EXPECT_TRUE(bare.ContentHasTag());
    XmlTagCursor attributed = CursorOn("<a><a x=\"1\">1</a></a>");
    ASSERT_TRUE(attributed.NextElement());
    EXPECT_EQ("<a x=\"1\">1", attributed.Content());
    EXPECT_FALSE(CursorOn("<a><a>1</a>").NextElement());
    EXPECT_FALSE(CursorOn("<a>1</a >").NextElement());
}

TEST(XmlTagCursor, EdgesOfTheText) {
    for (const char *text : {"<", "x<", "<a", "<a>", "<a>1</a", "</a>", "a>"}) {
        XmlTagCursor cursor = CursorOn(text);
        EXPECT_FALSE(cursor.NextElement()) << text;
        EXPECT_FALSE(cursor.ContentHasTag()) << text;
        EXPECT_FALSE(cursor.IsSelfClosing()) << text;
    }
    XmlTagCursor slash = CursorOn("</>");
    ASSERT_TRUE(slash.NextElement());
    EXPECT_TRUE(slash.IsSelfClosing());
    EXPECT_EQ("", slash.Name());
    XmlTagCursor empty = CursorOn("<>x</>");
    ASSERT_TRUE(empty.NextElement());
    EXPECT_EQ("x", empty.Content());
    XmlTagCursor touching = CursorOn("<a></a>");
    ASSERT_TRUE(touching.NextElement());
    EXPECT_EQ(0, touching.ContentLength());
}

// ---- Key paths and the parser ----------------------------------------------

// A key path splits at every colon: every piece but the last names an element
// (empty pieces kept, the first element of a name winning at every step), the
// last names its leaf, and a colon at the very end adds no piece.
TEST(XmlKeyPath, SplitsAtEveryColonAndTheFirstMatchWins) {
    auto doc =
        Parsed("<T><a>1</a><E><b>2</b><E><c>3</c><F><f>5</f></F></E></E><E><d>4</d></E></T>");
    const XmlNode &top = doc->Tree().top;
    ASSERT_EQ(2u, top.children.size());
    const XmlNode &firstE = top.children[0];
    ASSERT_EQ(1u, firstE.children.size());
    EXPECT_EQ(&top, doc->FindElement("T"));
    EXPECT_EQ(&firstE, doc->FindElement("T:E"));
    EXPECT_EQ(&firstE.children[0], doc->FindElement("T:E:E"));
    EXPECT_EQ(&firstE.children[0].children[0], doc->FindElement("T:E:E:F"));
    for (const char *missing : {"", ":", ":T", "T:", "T::E", "T:E:", "T:E::E", "t", "E", "T:a"})
        EXPECT_EQ(nullptr, doc->FindElement(missing)) << missing;

    struct Found {
        const char *key;
        const char *text;
    };
    for (const Found &found :
         {Found{"T:a", "1"}, Found{"T:a:", "1"}, Found{"a", "1"}, Found{"T:E:b", "2"},
          Found{"T:E:E:c", "3"}, Found{"T:E:b:", "2"}, Found{"T:E:E:F:f", "5"}}) {
        std::string value;
        EXPECT_TRUE(doc->Get(found.key, value, "none")) << found.key;
        EXPECT_EQ(found.text, value) << found.key;
    }
    for (const char *key :
         {"", ":", ":a", "T::a", "T:E::b", "T:E:d", "t:a", "T:E:E", "E:b", "T:a::", "::a"}) {
        std::string value;
        EXPECT_FALSE(doc->Get(key, value, "none")) << key;
        EXPECT_EQ("none", value) << key;
    }
}

TEST(XmlParser, ReportsElementsInOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"+T", "a=1", "+E", "b= 2 ", "-E", "-T"}),
              Events("<?xml?><T>x<a>1</a><!--c--><E><b> 2 </b></E>y</T>"));
    // Nameless elements are transparent; a leaf with no name is dropped.
    EXPECT_EQ((V{"+T", "a=1", "-T"}), Events("<T><><a>1</a><>z</></></T>"));
    XmlParser parser;
    EXPECT_FALSE(parser.Parse(nullptr, 3));
    EXPECT_FALSE(parser.Parse("<a/>", 0));
    EXPECT_TRUE(parser.Parse("<T><a>1</a></T>", 15)); // no handler: scans only
}

// An element whose content ends with a self-closing tag right before its
// closing tag does not end the scan: its later siblings are still read.
TEST(XmlParser, SiblingsAfterContentEndingInSelfClosingTag) {
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"+T", "+E", "x=1", "y=", "-E", "z=3", "-T"}),
              Events("<T><E><x>1</x><y/></E><z>3</z></T>"));
}

// ---- Document lookups ------------------------------------------------------

TEST(XmlDocument, TypicalConfigurationFileFromDisk) {
    std::string path = TempPath("config.xml");
    WriteFile(path, kConfig);
    XmlDocument doc;
    ASSERT_TRUE(doc.Load(path.c_str()));
    std::remove(path.c_str());

    bool start = false, console = true, logErrors = false;
    uint32_t tryMs = 0, checkMs = 0;
    std::string ip;
    int32_t port = 0;
    EXPECT_TRUE(doc.Get("GameThunkServer:GameThunkServer_Start", start, false));
    EXPECT_TRUE(doc.Get("GameThunkServer:Console", console, true));
    EXPECT_TRUE(doc.Get("GameThunkServer:LogConnectionError", logErrors, false));
    EXPECT_TRUE(doc.Get("GameThunkServer:TryConnectionInteval", tryMs, 1u));
    EXPECT_TRUE(doc.Get("GameThunkServer:MaxCheckConnectionInterval", checkMs, 1u));
    EXPECT_TRUE(doc.Get("GameThunkServer:VOZevezu_Host:ip", ip, "127.0.0.1"));
    EXPECT_TRUE(doc.Get("GameThunkServer:VOZevezu_Host:port", port, 1));
    EXPECT_TRUE(start);
    EXPECT_FALSE(console);
    EXPECT_TRUE(logErrors);
    EXPECT_EQ(60000u, tryMs);
    EXPECT_EQ(30000u, checkMs);
    EXPECT_EQ("10.1.2.3", ip);
    EXPECT_EQ(15306, port);
    EXPECT_FALSE(doc.Get("GameThunkServer:ip", ip, "127.0.0.1")); // wrong level
    EXPECT_EQ("127.0.0.1", ip);

    // A clean file leaves the reader nothing to note.
    const XmlNode *host = doc.FindElement("GameThunkServer:VOZevezu_Host");
    ASSERT_NE(nullptr, host);
    for (const XmlNode *node : {&doc.Tree().top, host}) {
        EXPECT_TRUE(node->replaced.empty());
        EXPECT_TRUE(node->stops.empty());
    }
    EXPECT_TRUE(doc.Outside().formerTopNames.empty());
    EXPECT_TRUE(doc.Outside().droppedLeaves.empty());
    EXPECT_TRUE(doc.Outside().fileStops.empty());
}

TEST(XmlDocument, FilesThatCannotBeReadOrAreEmpty) {
    XmlDocument missing;
    EXPECT_FALSE(missing.Load(TempPath("no_such_file.xml").c_str()));
    EXPECT_FALSE(missing.Load(nullptr));
    int32_t port = 0;
    EXPECT_FALSE(missing.Get("GameThunkServer:VOZevezu_Host:port", port, 15306));
    EXPECT_EQ(15306, port);

    XmlDocument directory;
    EXPECT_FALSE(directory.Load(testing::TempDir().c_str()));

    std::string path = TempPath("empty.xml");
    WriteFile(path, "");
    XmlDocument empty;
    EXPECT_TRUE(empty.Load(path.c_str()));
    std::remove(path.c_str());
    bool start = true;
    EXPECT_FALSE(empty.Get("GameThunkServer:GameThunkServer_Start", start, false));
    EXPECT_FALSE(start);
}

TEST(XmlDocument, LoadingAgainReplacesTheTree) {
    XmlDocument doc;
    ASSERT_TRUE(doc.LoadText("<T><a>1</a><a>2</a></T><U><b>1</b></U>", 38));
    ASSERT_TRUE(doc.LoadText("", 0));
    EXPECT_TRUE(doc.Tree().top.replaced.empty());
    EXPECT_TRUE(doc.Outside().formerTopNames.empty());
    std::string a;
    EXPECT_FALSE(doc.Get("T:a", a, "none"));
    ASSERT_TRUE(doc.LoadText("<T><a>1</a></T>", 15));
    EXPECT_FALSE(doc.Load(TempPath("no_such_file.xml").c_str()));
    EXPECT_FALSE(doc.Get("T:a", a, "none"));
    EXPECT_FALSE(doc.LoadText(nullptr, 4));
}

TEST(XmlDocument, EmptyAndSelfClosingLeaves) {
    auto doc = Parsed("<T><a/><b></b><c x=\"1\"/></T>");
    for (const char *key : {"T:a", "T:b", "T:c"}) {
        std::string text = "old";
        EXPECT_TRUE(doc->Get(key, text, "def")) << key;
        EXPECT_EQ("", text) << key;
        int32_t n = 0;
        EXPECT_FALSE(doc->Get(key, n, 7)) << key;
        EXPECT_EQ(7, n);
    }
}

TEST(XmlDocument, LeafTextIsRaw) {
    auto doc = Parsed("<T><p>\r\n  15306 \n</p><e>a &amp; b &lt; c > d</e></T>");
    std::string text;
    int32_t port = 0;
    EXPECT_TRUE(doc->Get("T:p", text, ""));
    EXPECT_EQ("\r\n  15306 \n", text);
    EXPECT_TRUE(doc->Get("T:p", port, 0));
    EXPECT_EQ(15306, port);
    EXPECT_TRUE(doc->Get("T:e", text, ""));
    EXPECT_EQ("a &amp; b &lt; c > d", text);
}

TEST(XmlDocument, RepeatedNamesAndNesting) {
    std::string s;
    auto leaves = Parsed("<T><a>1</a><b>0</b><a>2</a><a>3</a></T>");
    EXPECT_TRUE(leaves->Get("T:a", s, ""));
    EXPECT_EQ("3", s);
    const std::vector<XmlLeaf> &replaced = leaves->Tree().top.replaced;
    ASSERT_EQ(2u, replaced.size()); // the leaves the later ones replaced, in order
    EXPECT_EQ("a", replaced[0].name);
    EXPECT_EQ("1", replaced[0].text);
    EXPECT_EQ("2", replaced[1].text);

    auto elements = Parsed("<T><E><a>1</a></E><E><a>2</a><b>3</b></E></T>");
    EXPECT_TRUE(elements->Get("T:E:a", s, ""));
    EXPECT_EQ("1", s);
    EXPECT_FALSE(elements->Get("T:E:b", s, ""));

    auto nested = Parsed("<T><E><E><a>1</a></E><b>2</b></E></T>");
    EXPECT_TRUE(nested->Get("T:E:E:a", s, ""));
    EXPECT_EQ("1", s);
    EXPECT_TRUE(nested->Get("T:E:b", s, ""));
    EXPECT_EQ("2", s);

    // The inner element carries attributes, so the outer one ends at the
    // inner closing tag and b lands one level up.
    auto attributed = Parsed("<T><E><E x=\"1\"><a>1</a></E><b>2</b></E></T>");
    EXPECT_FALSE(attributed->Get("T:E:b", s, ""));
    EXPECT_FALSE(attributed->Get("T:E:E:a", s, ""));
    EXPECT_TRUE(attributed->Get("T:b", s, ""));
    EXPECT_EQ("2", s);
}

TEST(XmlDocument, MarkupThatHidesValues) {
    std::string s;
    auto comment = Parsed("<T><a><!-- note -->5</a><b>6</b></T>");
    EXPECT_FALSE(comment->Get("T:a", s, ""));
    EXPECT_TRUE(comment->Get("T:b", s, ""));

    auto lineBreak = Parsed("<T><a>1</a><b\n>2</b><c>3</c></T>");
    EXPECT_TRUE(lineBreak->Get("T:a", s, ""));
    EXPECT_FALSE(lineBreak->Get("T:c", s, "")); // the scan of T ended at b
    const std::vector<XmlScanStop> &stops = lineBreak->Tree().top.stops;
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ("<b\n>", stops[0].tag);
    EXPECT_EQ("b\n", stops[0].tagName);
    EXPECT_FALSE(stops[0].bAfterComment);

    auto blank = Parsed("<T><z>0</z><a>1</a ><c>3</c></T>");
    EXPECT_TRUE(blank->Get("T:z", s, ""));
    EXPECT_FALSE(blank->Get("T:a", s, ""));
    EXPECT_FALSE(blank->Get("T:c", s, ""));
    ASSERT_EQ(1u, blank->Tree().top.stops.size());
    EXPECT_EQ("<a>", blank->Tree().top.stops[0].tag);

    // A comment ends at its first '>', so the tag inside it ends the scan.
    auto tagInComment = Parsed("<T><E><!-- <a>1</a> --><b>2</b></E><c>3</c></T>");
    EXPECT_FALSE(tagInComment->Get("T:E:b", s, ""));
    EXPECT_TRUE(tagInComment->Get("T:c", s, ""));
    EXPECT_TRUE(tagInComment->Tree().top.stops.empty());
    const XmlNode *e = tagInComment->FindElement("T:E");
    ASSERT_NE(nullptr, e);
    ASSERT_EQ(1u, e->stops.size());
    EXPECT_EQ("</a>", e->stops[0].tag);
    EXPECT_TRUE(e->stops[0].bAfterComment);
    auto unended = Parsed("<T><a>1</a><b x=\"1\" </T>");
    ASSERT_EQ(1u, unended->Tree().top.stops.size());
    EXPECT_EQ("<b x=\"1\" ", unended->Tree().top.stops[0].tag); // to the end of T's content
    EXPECT_EQ("", unended->Tree().top.stops[0].tagName);

    auto attribute = Parsed("<T><H ip=\"1.2.3.4\"><x/></H></T>");
    EXPECT_FALSE(attribute->Get("T:H:ip", s, "127.0.0.1"));
    EXPECT_EQ("127.0.0.1", s);
}

TEST(XmlDocument, FilesWithoutUsableElements) {
    for (const char *text : {"<?xml version=\"1.0\"?><!-- nothing -->", "<T>text only</T>",
                             "<T><a>1</a>", "just text", "<a>1</a><b>2</b>"}) {
        auto doc = Parsed(text);
        EXPECT_TRUE(doc->Tree().top.leaves.empty()) << text;
        EXPECT_TRUE(doc->Tree().top.children.empty()) << text;
        std::string s;
        EXPECT_FALSE(doc->Get("T:a", s, "d")) << text;
    }
    // The scan of the file stops at a tag without its closing tag, and leaves
    // outside every element are dropped.
    auto unclosed = Parsed("<T><a>1</a>");
    ASSERT_EQ(1u, unclosed->Outside().fileStops.size());
    EXPECT_EQ("<T>", unclosed->Outside().fileStops[0].tag);
    EXPECT_EQ("T", unclosed->Outside().fileStops[0].tagName);
    auto bare = Parsed("<a>1</a><b>2</b>");
    ASSERT_EQ(2u, bare->Outside().droppedLeaves.size());
    EXPECT_EQ("b", bare->Outside().droppedLeaves[1].name);
    EXPECT_EQ("2", bare->Outside().droppedLeaves[1].text);
    EXPECT_TRUE(bare->Outside().fileStops.empty());
}

TEST(XmlDocument, SecondTopElementRenamesTheTop) {
    auto doc = Parsed("<A><x>1</x></A>\n<B><y>2</y></B>");
    std::string s;
    EXPECT_EQ("B", doc->Tree().top.name);
    EXPECT_EQ(std::vector<std::string>{"A"}, doc->Outside().formerTopNames);
    EXPECT_TRUE(doc->Get("B:x", s, ""));
    EXPECT_TRUE(doc->Get("B:y", s, ""));
    EXPECT_FALSE(doc->Get("A:x", s, ""));
}

TEST(XmlDocument, KeysAreExactAndCaseSensitive) {
    auto doc = Parsed("<gamethunkserver><Console>1</Console></gamethunkserver>");
    bool console = false;
    EXPECT_FALSE(doc->Get("GameThunkServer:Console", console, false));
    EXPECT_TRUE(doc->Get("gamethunkserver:Console", console, false));
    EXPECT_TRUE(console);
    EXPECT_FALSE(doc->Get("gamethunkserver:console", console, false));
    console = false;
    EXPECT_TRUE(doc->Get("Console", console, false)); // a lone name is a leaf of the top
    EXPECT_TRUE(console);
    std::string s;
    EXPECT_FALSE(doc->Get("", s, "d"));
    EXPECT_FALSE(doc->Get(nullptr, s, "d"));
    EXPECT_EQ("d", s);
}

// ---- Conversions ------------------------------------------------------------

TEST(XmlConversion, SignedMatchesFormattedStreamInput) {
    for (const char *text : {"60000ms", "0x3bca", " \r\n\t 42", "+7", "007", "1 2", "12.9",
                             "-2147483648", "2147483647", "2147483648", "-2147483649",
                             "99999999999999999999", "", "abc", "-", "- 5", "+-5", " \n "}) {
        std::istringstream in(text);
        int32_t expected = 0;
        bool streamOk = static_cast<bool>(in >> expected);
        int32_t value = 0;
        EXPECT_EQ(streamOk, OneLeaf(text)->Get("T:v", value, -77)) << text;
        EXPECT_EQ(streamOk ? expected : -77, value) << text;
    }
    int32_t value = 0;
    EXPECT_TRUE(OneLeaf("60000ms")->Get("T:v", value, 0));
    EXPECT_EQ(60000, value);
    EXPECT_FALSE(OneLeaf("4294967296")->Get("T:v", value, 5));
    EXPECT_EQ(5, value);
}

TEST(XmlConversion, UnsignedNegatesModulo32Bits) {
    struct Case {
        const char *text;
        bool ok;
        uint32_t value;
    };
    for (const Case &c :
         {Case{"-1", true, 4294967295u}, Case{"4294967295", true, 4294967295u},
          Case{"-4294967295", true, 1u}, Case{"-0", true, 0u}, Case{" +500ms", true, 500u},
          Case{"0x3bca", true, 0u}, Case{"4294967296", false, 0u}, Case{"-4294967296", false, 0u},
          Case{"x1", false, 0u}, Case{"", false, 0u}}) {
        uint32_t value = 0;
        EXPECT_EQ(c.ok, OneLeaf(c.text)->Get("T:v", value, 60000u)) << c.text;
        EXPECT_EQ(c.ok ? c.value : 60000u, value) << c.text;
    }
}

TEST(XmlConversion, BoolAcceptsOnlyZeroAndOne) {
    for (const char *text : {"1", "0", " \r\n 1 \r\n", "01", "-0", "+1", "1abc", "true", "yes", "2",
                             "-1", "", "99999999999999999999"}) {
        std::istringstream in(text);
        bool expected = false;
        bool streamOk = static_cast<bool>(in >> expected);
        bool value = false;
        EXPECT_EQ(streamOk, OneLeaf(text)->Get("T:v", value, false)) << text;
        EXPECT_EQ(streamOk && expected, value) << text;
        value = false;
        OneLeaf(text)->Get("T:v", value, true);
        EXPECT_EQ(streamOk ? expected : true, value) << text;
    }
}

// ---- Hostile input ----------------------------------------------------------

// Deep nesting: L elements nested 100000 levels inside T, each holding a
// leaf d with its level. Levels past the bound are skipped; the rest of the
// file is still read.
TEST(XmlHostile, NestingDepthIsBounded) {
    const int levels = 100000;
    std::string text = "<T>";
    for (int level = 2; level <= levels + 1; ++level)
        text += "<L><d>" + std::to_string(level) + "</d>";
    for (int level = 2; level <= levels + 1; ++level)
        text += "</L>";
    text += "<after>ok</after></T>";
    auto doc = Parsed(text);

    std::string path = "T";
    for (int level = 2; level < XML_MAX_DEPTH; ++level)
        path += ":L";
    std::string s;
    EXPECT_TRUE(doc->Get((path + ":d").c_str(), s, ""));
    EXPECT_EQ(std::to_string(XML_MAX_DEPTH - 1), s);
    EXPECT_FALSE(doc->Get((path + ":L:d").c_str(), s, ""));
    EXPECT_TRUE(doc->Get("T:L:d", s, ""));
    EXPECT_EQ("2", s);
    EXPECT_TRUE(doc->Get("T:after", s, ""));
    EXPECT_EQ("ok", s);
}

TEST(XmlHostile, UnclosedNestingLoadsEmpty) {
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "<a>";
    auto doc = Parsed(text);
    EXPECT_TRUE(doc->Tree().top.children.empty());
    EXPECT_EQ(1u, doc->Outside().fileStops.size());
}

// Every truncation of a file is read without reading past its end, and a
// value found in a truncated file is the full file's value.
TEST(XmlHostile, EveryTruncationIsSafe) {
    const std::string full = kConfig;
    for (size_t n = 0; n <= full.size(); ++n) {
        // The scan runs on an exact-size heap copy, so the address sanitizer
        // sees any read past the end.
        std::unique_ptr<char[]> copy(new char[n]);
        full.copy(copy.get(), n);
        Recorder recorder;
        XmlParser parser;
        parser.handler = &recorder;
        XmlTagCursor cursor;
        EXPECT_TRUE(parser.ParseLevel(cursor, copy.get(), int32_t(n)));

        XmlDocument doc;
        ASSERT_TRUE(doc.LoadText(copy.get(), int32_t(n)));
        std::string ip;
        uint32_t tryMs = 0;
        if (doc.Get("GameThunkServer:VOZevezu_Host:ip", ip, ""))
            EXPECT_EQ("10.1.2.3", ip) << n;
        if (doc.Get("GameThunkServer:TryConnectionInteval", tryMs, 0u))
            EXPECT_EQ(60000u, tryMs) << n;
        if (n == full.size())
            EXPECT_EQ("10.1.2.3", ip);
    }
}
