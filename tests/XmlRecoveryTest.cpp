// The notes the XML reader gives of its recoveries: what each kind reports and at which offset of
// the original text, that listening leaves the tree exactly as it is without a listener, and that
// well-formed data makes no note.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"
#include "xml/XmlRecovery.h"

namespace Database::Testing {
namespace {

// In the order of the enumeration.
const char* const kKindNames[] = {"UnclosedElement", "MismatchedClosingTag", "DroppedStartTag", "DroppedAttribute",
                                  "StrayLessThan", "StrayAmpersand", "UnknownEntity", "ContentAfterRoot",
                                  "UnterminatedClosingTag", "AttributeWithoutValue", "BadCharacterReference",
                                  "UnclosedMarkup", "UnknownMarkup"};
static_assert(std::size(kKindNames) == static_cast<std::size_t>(XmlRecoveryKind::UnknownMarkup) + 1);

// Each note as one line: kind@offset, then the fields the kind sets. Fields a kind does not set
// must be left empty, which the recorder checks.
struct Recorder final : XmlRecoveryListener {
    std::vector<std::string> notes;

    void OnRecovery(const XmlRecovery& note) noexcept override {
        std::string line = std::string(kKindNames[static_cast<int>(note.kind)]) + "@" + std::to_string(note.offset);
        if (note.name != nullptr)
            line += " name=" + std::string(note.name, note.nameLength);
        if (note.other != nullptr)
            line += " other=" + std::string(note.other, note.otherLength);
        switch (note.kind) {
        case XmlRecoveryKind::StrayLessThan:
        case XmlRecoveryKind::StrayAmpersand:
        case XmlRecoveryKind::UnknownEntity:
        case XmlRecoveryKind::BadCharacterReference:
            line += note.copied ? " copied" : " dropped";
            break;
        case XmlRecoveryKind::UnclosedElement:
        case XmlRecoveryKind::MismatchedClosingTag:
        case XmlRecoveryKind::UnterminatedClosingTag:
            line += " openedAt=" + std::to_string(note.openedAt);
            break;
        default:
            EXPECT_FALSE(note.copied) << line;
            EXPECT_EQ(note.openedAt, 0u) << line;
        }
        EXPECT_TRUE(note.name != nullptr || note.nameLength == 0) << line;
        EXPECT_TRUE(note.other != nullptr || note.otherLength == 0) << line;
        notes.push_back(line);
    }
};

// The tree as text, with the outcome of the parse: name, attributes, value and children of every
// element, top-level siblings included.
std::string Dump(const XmlDocument& document, bool ok) {
    std::ostringstream out;
    out << ok << ' ' << static_cast<int>(document.Status()) << ' ' << document.ErrorOffset() << ' ';
    struct Walk {
        std::ostringstream& out;
        void Span(const XmlNode& node) {
            const char* text = nullptr;
            std::uint32_t length = 0;
            node.RawName(text, length);
            out << std::string(text, length) << '=';
            node.RawValue(text, length);
            out << '"' << std::string(text, length) << '"';
        }
        void Element(const XmlNode& element) {
            out << '<';
            Span(element);
            XmlNode node;
            for (bool more = element.FirstAttribute(node); more; more = node.NextAttribute(node)) {
                out << ' ';
                Span(node);
            }
            out << '>';
            for (bool more = element.FirstChild(node); more; more = node.NextSibling(node))
                Element(node);
            out << "</>";
        }
    } walk{out};
    XmlNode top;
    for (bool more = document.FirstNode(top); more; more = top.NextSibling(top))
        walk.Element(top);
    return out.str();
}

// Parses a copy of text with a listener, and another copy without; the trees must agree. Returns
// the notes.
std::vector<std::string> Parse(const std::string& text) {
    std::vector<char> silent(text.begin(), text.end());
    silent.push_back('\0');
    std::vector<char> noted = silent;
    XmlDocument plain;
    const bool plainOk = plain.Parse(silent.data());
    XmlDocument listened;
    Recorder recorder;
    const bool listenedOk = listened.Parse(noted.data(), &recorder);
    EXPECT_EQ(Dump(listened, listenedOk), Dump(plain, plainOk)) << text;
    EXPECT_EQ(noted, silent) << text;  // the same bytes written over the same way
    return recorder.notes;
}

struct Case {
    const char* text;
    std::vector<std::string> notes;
};

void Expect(const std::vector<Case>& cases) {
    for (const Case& c : cases)
        EXPECT_EQ(Parse(c.text), c.notes) << c.text;
}

TEST(XmlRecoveryElements, OpenClosingAndTrailingElements) {
    Expect({
        // Innermost first, all at the end of the text.
        {"<r><a k='v'>x", {"UnclosedElement@13 name=a openedAt=3", "UnclosedElement@13 name=r openedAt=0"}},
        {"<A><x/></B>", {"MismatchedClosingTag@7 name=A other=B openedAt=0"}},
        {"<r><a></a x>t</r>", {"UnterminatedClosingTag@6 name=a other=a openedAt=3"}},
        {"<r></ r>",
         {"MismatchedClosingTag@3 name=r other= openedAt=0", "UnterminatedClosingTag@3 name=r other= openedAt=0"}},
        // Comments and processing instructions may follow the root; nothing else may.
        {"<a/>\n<!-- c --><?pi?><b x='1'/><![CDATA[x]]><!DOCTYPE d>",
         {"ContentAfterRoot@21 name=b", "ContentAfterRoot@31", "ContentAfterRoot@44"}},
        {"<a/><!-- c -->", {}},
        {"<a/><b x/>", {"ContentAfterRoot@4 name=b", "AttributeWithoutValue@7 name=x"}},
    });
}

TEST(XmlRecoveryStartTags, DroppedTagsAttributesAndStrayLessThan) {
    Expect({
        {"<r><a x='1' ?>t</r>", {"DroppedStartTag@3 name=a"}},
        {"<r><a/b>c</r>", {"DroppedStartTag@3 name=a"}},
        // The attribute that made the tag fail follows the tag's note.
        {"<r><b z=3/></r>", {"DroppedStartTag@3 name=b", "DroppedAttribute@6 name=z"}},
        {"<r><a x y='2'/></r>", {"DroppedStartTag@3 name=a", "DroppedAttribute@6 name=x"}},
        {"<r><a k='v",
         {"DroppedStartTag@3 name=a", "DroppedAttribute@6 name=k", "UnclosedElement@10 name=r openedAt=0"}},
        {"<r><a x/><b y =/><c z></c></r>",
         {"AttributeWithoutValue@6 name=x", "AttributeWithoutValue@12 name=y", "AttributeWithoutValue@20 name=z"}},
        // Dropped in content, kept in a value (after an expanded reference, at its own offset).
        {"<r>< b/><>x<a v='&lt;1<2'/></r>", {"StrayLessThan@3 dropped", "StrayLessThan@8 dropped",
                                             "StrayLessThan@22 copied"}},
        {"<r>x<", {"StrayLessThan@4 dropped", "UnclosedElement@5 name=r openedAt=0"}},
    });
}

TEST(XmlRecoveryReferences, AmpersandsEntitiesAndCharacterCodesAtTheirOriginalOffsets) {
    Expect({
        // Offsets stay those of the original text after the expansions before them.
        {"<r a='&amp;&AMP;&#1a;'>&lt;x & y&#x110000;&nbsp;&#65;</r>",
         {"UnknownEntity@11 name=AMP copied", "BadCharacterReference@16 name=#1a copied", "StrayAmpersand@29 copied",
          "BadCharacterReference@32 name=#x110000 dropped", "UnknownEntity@42 name=nbsp copied"}},
        {"<r>&#;&#X41;&#65&amp|&;</r>",
         {"StrayAmpersand@3 copied", "StrayAmpersand@6 copied", "StrayAmpersand@12 copied", "StrayAmpersand@16 copied",
          "StrayAmpersand@21 copied"}},
        {"<r>&#x100000041;&#0;&#xD800;&#xFFFE;&#x9;&#x10FFFF;&#0000000065;</r>",
         {"BadCharacterReference@3 name=#x100000041 copied", "BadCharacterReference@16 name=#0 copied",
          "BadCharacterReference@20 name=#xD800 copied", "BadCharacterReference@28 name=#xFFFE copied"}},
        // A byte-order mark is counted.
        {"\xEF\xBB\xBF<r>&foo;", {"UnknownEntity@6 name=foo copied", "UnclosedElement@11 name=r openedAt=3"}},
        // A later text run is passed over unread: nothing in it is noted.
        {"<r>a<b/>&foo; & &#0;</r>", {}},
    });
}

TEST(XmlRecoveryMarkup, UnknownMarkupAndMarkupCutShort) {
    Expect({
        {"<r><!- x -><a/></r>", {"UnknownMarkup@3"}},
        {"<r><!-- c", {"UnclosedMarkup@3 name=<!--", "UnclosedElement@9 name=r openedAt=0"}},
        {"<r><!--></r>", {"UnclosedMarkup@3 name=<!--", "UnclosedElement@12 name=r openedAt=0"}},
        {"<r><![CDATA[ x]]", {"UnclosedMarkup@3 name=<![CDATA[", "UnclosedElement@16 name=r openedAt=0"}},
        {"<?xml version='1.0'", {"UnclosedMarkup@0 name=<?"}},
        {"<!DOCTYPE x [ >", {"UnclosedMarkup@0 name=<!DOCTYPE"}},
        {"<!x", {"UnknownMarkup@0", "UnclosedMarkup@0 name=<!"}},
        // Ended by their terminators right at the end of the text.
        {"<r/><!---->", {}},
        {"<?pi ?><!DOCTYPE x [ <!ENTITY e 'v'> ]><r/><?pi?>", {}},
    });
}

TEST(XmlRecoveryFailures, AStrayByteAtTheTopLevelStillFails) {
    Recorder recorder;
    std::string text = "<a/></a>";
    XmlDocument document;
    EXPECT_FALSE(document.Parse(text.data(), &recorder));
    EXPECT_EQ(document.Status(), XmlStatus::TextOutsideRoot);
    EXPECT_EQ(document.ErrorOffset(), 5u);
    EXPECT_EQ(recorder.notes, (std::vector<std::string>{"ContentAfterRoot@4", "StrayLessThan@4 dropped"}));

    EXPECT_EQ(Parse("x<a/>"), std::vector<std::string>{});
    EXPECT_EQ(Parse("<r><a x='1' ?>t</a><c/></r>"),
              (std::vector<std::string>{"DroppedStartTag@3 name=a",
                                        "MismatchedClosingTag@15 name=r other=a openedAt=0",
                                        "ContentAfterRoot@19 name=c", "ContentAfterRoot@23",
                                        "StrayLessThan@23 dropped"}));
}

TEST(XmlRecoveryTree, ListeningChangesNothingInTheTree) {
    // Parse compares the trees of every text above; these add deep, mixed and reused parses.
    std::string deep;
    for (int i = 0; i < 2000; ++i)
        deep += "<e a='&#" + std::to_string(i % 40) + ";<'>&bad" + std::to_string(i) + ";";
    // Per element: its value's '<', its unknown entity, its being left open; and the 29 codes
    // of every 40 that are no character.
    EXPECT_EQ(Parse(deep).size(), 2000u * 3 + 2000u / 40 * 29);
    Parse("<r a='1' b=\"&quot;<&amp;\" c><x>t&#33;</x>< y/><z q=3/></r><s/>");

    XmlDocument document;
    Recorder recorder;
    std::string first = "<r><a>";
    std::string second = "<r/>";
    EXPECT_TRUE(document.Parse(first.data(), &recorder));
    EXPECT_TRUE(document.Parse(second.data(), &recorder));
    EXPECT_EQ(recorder.notes.size(), 2u);
    EXPECT_EQ(Dump(document, true), "1 0 0 <r=\"\"></>");
}

TEST(XmlRecoveryTree, WellFormedExampleDataMakesNoNote) {
    for (const char* file : {"01_eras.xml", "02_terrains.xml", "03_technologies.xml", "04_units.xml",
                             "05_buildings.xml", "06_promotions.xml"}) {
        std::ifstream in(std::string(ZRDB_SOURCE_DIR) + "/examples/data/" + file, std::ios::binary);
        ASSERT_TRUE(in) << file;
        std::stringstream text;
        text << in.rdbuf();
        ASSERT_GT(text.str().size(), 100u) << file;
        EXPECT_EQ(Parse(text.str()), std::vector<std::string>{}) << file;
    }
}

}  // namespace
}  // namespace Database::Testing
