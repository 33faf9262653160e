// The XML document reader: the grammar area by area, recovery from each kind of syntax error, the
// node pool's reuse and its allocation failures, the accessors, and nesting far deeper than any
// native stack could follow.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"

namespace Database::Testing {
namespace {

// A text parsed in place in a buffer of its own.
struct Parsed {
    explicit Parsed(const std::string& text) : buffer(text.begin(), text.end()) {
        buffer.push_back('\0');
        ok = document.Parse(buffer.data());
    }
    // The first top-level element.
    XmlNode Root() const {
        XmlNode root;
        document.FirstNode(root);
        return root;
    }

    std::vector<char> buffer;
    XmlDocument document;
    bool ok = false;
};

std::string NameOf(const XmlNode& node) {
    const char* text = nullptr;
    std::uint32_t length = 0;
    EXPECT_TRUE(node.Name(text, length));
    return std::string(text, length);
}

std::string ValueOf(const XmlNode& node) {
    const char* text = nullptr;
    std::uint32_t length = 0;
    EXPECT_TRUE(node.Value(text, length));
    return std::string(text, length);
}

XmlNode Child(const XmlNode& node, const char* name) {
    XmlNode child;
    EXPECT_TRUE(node.FirstChild(child, name, 0)) << name;
    return child;
}

std::string AttributeValue(const XmlNode& element, const char* name) {
    XmlNode attribute;
    EXPECT_TRUE(element.FirstAttribute(attribute, name, 0)) << name;
    return ValueOf(attribute);
}

// Names of the children, in order, joined by spaces.
std::string ChildNames(const XmlNode& node) {
    std::string names;
    XmlNode child;
    for (bool more = node.FirstChild(child); more; more = child.NextSibling(child))
        names += (names.empty() ? "" : " ") + NameOf(child);
    return names;
}

std::string AttributeList(const XmlNode& element) {
    std::string list;
    XmlNode attribute;
    for (bool more = element.FirstAttribute(attribute); more; more = attribute.NextAttribute(attribute))
        list += (list.empty() ? "" : " ") + NameOf(attribute) + "=" + ValueOf(attribute);
    return list;
}

TEST(XmlReaderTopLevel, ByteOrderMarkIsSkippedOnlyAtTheStart) {
    Parsed marked("\xEF\xBB\xBF<a>\xEF\xBB\xBFx</a>");
    ASSERT_TRUE(marked.ok);
    EXPECT_EQ(NameOf(marked.Root()), "a");
    EXPECT_EQ(ValueOf(marked.Root()), "\xEF\xBB\xBFx");

    Parsed late(" \xEF\xBB\xBF<a/>");
    EXPECT_FALSE(late.ok);
    EXPECT_EQ(late.document.Status(), XmlStatus::TextOutsideRoot);
    EXPECT_EQ(late.document.ErrorOffset(), 1u);
}

TEST(XmlReaderTopLevel, TextOutsideTheRootFailsButKeepsWhatWasRead) {
    Parsed before("x<a/>");
    EXPECT_FALSE(before.ok);
    EXPECT_TRUE(before.Root().IsEmpty());
    EXPECT_EQ(before.document.ErrorOffset(), 0u);

    Parsed after("<a/><b></b> y");
    EXPECT_FALSE(after.ok);
    EXPECT_EQ(NameOf(after.Root()), "a");
    XmlNode second;
    ASSERT_TRUE(after.Root().NextSibling(second));
    EXPECT_EQ(NameOf(second), "b");
    EXPECT_EQ(after.document.ErrorOffset(), 12u);

    // A closing tag at the top level is an element without a name, then the stray '/'.
    Parsed closing("<a/></a>");
    EXPECT_FALSE(closing.ok);
    EXPECT_EQ(closing.document.ErrorOffset(), 5u);
}

TEST(XmlReaderTopLevel, EmptyAndMarkupOnlyTextsParseWithoutElements) {
    for (const char* text : {"", " \t\r\n", "<?xml version=\"1.0\"?>\n<!-- c -->", "<!DOCTYPE x>"}) {
        Parsed parsed(text);
        EXPECT_TRUE(parsed.ok) << text;
        EXPECT_TRUE(parsed.Root().IsEmpty()) << text;
    }
    XmlDocument document;
    EXPECT_FALSE(document.Parse(nullptr));
    EXPECT_EQ(document.Status(), XmlStatus::NoText);
}

TEST(XmlReaderElements, NamesAreRunsOfNameCharacters) {
    // '<', '=', '!' and quotes are name characters; whitespace, '/', '>' and '?' end a name.
    Parsed parsed("<r><a<b=\"!/><c\t/><d?/></r>");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(ChildNames(parsed.Root()), "a<b=\"! c");
}

TEST(XmlReaderElements, AttributesKeepTheirOrderAndRawValues) {
    Parsed parsed("<a x=' x ' y = \"it's <b>\" z='say \"hi\"'w=''\tv=\"\t1\n\"/>");
    ASSERT_TRUE(parsed.ok);
    const XmlNode a = parsed.Root();
    EXPECT_EQ(a.AttributeCount(), 5);
    EXPECT_EQ(AttributeList(a), "x= x  y=it's <b> z=say \"hi\" w= v=\t1\n");
    EXPECT_EQ(AttributeValue(a, "x").size(), 3u);
}

TEST(XmlReaderElements, AttributeNamesEndAtTheirOwnClass) {
    // '!' and '<' end an attribute name but not an element name.
    Parsed parsed("<r><b x>u</b><a k!='1'>t</r>");
    ASSERT_TRUE(parsed.ok);
    // "k" is followed by '!', not '=': the attribute stays empty and '!' then drops the element.
    EXPECT_EQ(ChildNames(parsed.Root()), "b");
    EXPECT_EQ(ValueOf(parsed.Root()), "!='1'>t");
    const XmlNode b = Child(parsed.Root(), "b");
    EXPECT_EQ(AttributeList(b), "x=");
    EXPECT_EQ(ValueOf(b), "u");
}

TEST(XmlReaderContent, ValueIsTheFirstTextRunTrimmed) {
    Parsed spaced("<a>  a &lt; b  </a>");
    ASSERT_TRUE(spaced.ok);
    EXPECT_EQ(ValueOf(spaced.Root()), "a < b");

    Parsed textFirst("<A>first<B/>second</A>");
    EXPECT_EQ(ValueOf(textFirst.Root()), "first");
    Parsed childFirst("<A><B/>second</A>");
    EXPECT_EQ(ValueOf(childFirst.Root()), "second");
    EXPECT_EQ(ValueOf(Child(childFirst.Root(), "B")), "");

    // Vertical tab and form feed are no whitespace; CR and tab are.
    Parsed controls("<a>\t\r\n\vx\f \r\n</a>");
    EXPECT_EQ(ValueOf(controls.Root()), "\vx\f");
}

TEST(XmlReaderContent, WhitespaceAndSkippedMarkupMakeNoValueAndNoChildren) {
    Parsed blank("<a> \n\t </a>");
    const char* text = nullptr;
    std::uint32_t length = 7;
    ASSERT_TRUE(blank.Root().Value(text, length));
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(text, "");

    Parsed cdata("<a><![CDATA[ <b>x</b> ]]></a>");
    EXPECT_EQ(ValueOf(cdata.Root()), "");
    EXPECT_EQ(cdata.Root().ChildCount(1), 0);

    Parsed comment("<a><!-- <c/> --><b/></a>");
    EXPECT_EQ(ChildNames(comment.Root()), "b");

    // Markup ends a run: what follows a comment is a later run, passed over.
    Parsed split("<a>one<!-- c -->two</a>");
    EXPECT_EQ(ValueOf(split.Root()), "one");
}

TEST(XmlReaderReferences, NamedAndNumericReferencesExpand) {
    Parsed parsed("<r><n>&amp;&apos;&quot;&gt;&lt;</n><d>&#65;&#x41;&#x4a;</d><e>&#x20AC;&#x1F600;</e>"
                  "<m a='&#65;&lt;&#x4a;'/></r>");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "n")), "&'\"><");
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "d")), "AAJ");
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "e")), "\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(AttributeValue(Child(parsed.Root(), "m"), "a"), "A<J");
}

TEST(XmlReaderReferences, WhatIsNoReferenceIsCopiedUnchanged) {
    // Upper-case X is no hexadecimal mark, "&#;" has no digits, the others lack their ';' or are
    // unknown: each '&' stays, and scanning goes on after it.
    Parsed parsed("<r><a>&#X41;|&#;|&#65|&amp|&AMP;|&foo;|&#x41&#66;</a><b v='&#65&amp;'/></r>");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "a")), "&#X41;|&#;|&#65|&amp|&AMP;|&foo;|&#x41B");
    EXPECT_EQ(AttributeValue(Child(parsed.Root(), "b"), "v"), "&#65&");

    // A reference cut off by the end of the text reads nothing past it.
    Parsed cut("<a>x&#x4");
    EXPECT_TRUE(cut.ok);
    EXPECT_EQ(ValueOf(cut.Root()), "x&#x4");
}

TEST(XmlReaderReferences, NumericCodesFollowTheDigitRules) {
    // Decimal references take a to f as digits too; codes accumulate in 32 bits; codes above
    // U+10FFFF write nothing.
    Parsed parsed("<r><a>&#1a;</a><b>&#x100000041;</b><c>x&#x110000;y</c><d>&#x10FFFF;</d></r>");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "a")), "\x14");
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "b")), "A");
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "c")), "xy");
    EXPECT_EQ(ValueOf(Child(parsed.Root(), "d")), "\xF4\x8F\xBF\xBF");
}

TEST(XmlReaderReferences, AValueBeginningWithAZeroByteGivesWayToTheNextRun) {
    Parsed zero("<a>&#0;<b/>later</a>");
    EXPECT_EQ(ValueOf(zero.Root()), "later");
    // An expansion trimmed to nothing is still a value: later runs are passed over.
    Parsed space("<a>&#32;<b/>later</a>");
    EXPECT_EQ(ValueOf(space.Root()), "");
}

TEST(XmlReaderSkipping, DeclarationsCommentsCdataAndDoctypeArePassedOver) {
    Parsed parsed(
        "<?xml version='1.0'?><?XmL-stylesheet x?>"
        "<!DOCTYPE r [ <!ELEMENT r ANY> <!ATTLIST r a CDATA '>'> [[ ]] ]>"
        "<!-- a > b --><!NOTATION n>"
        "<r><?pi <a/> ?><![CDATA[ <a/> ]]><b/></r>");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(NameOf(parsed.Root()), "r");
    EXPECT_EQ(ChildNames(parsed.Root()), "b");
    EXPECT_EQ(ValueOf(parsed.Root()), "");
}

TEST(XmlReaderSkipping, TextEndingInsideMarkupKeepsWhatWasRead) {
    for (const char* tail : {"<!-- c", "<![CDATA[ x", "<?pi", "<!DOCTYPE x [ >", "<!x"}) {
        Parsed parsed(std::string("<r><a/>") + tail);
        EXPECT_TRUE(parsed.ok) << tail;
        EXPECT_EQ(ChildNames(parsed.Root()), "a") << tail;
    }
}

TEST(XmlReaderRecovery, AnElementWithoutANameIsDroppedAndItsBytesBecomeText) {
    Parsed empty("<r><>x</r>");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(ChildNames(empty.Root()), "");
    EXPECT_EQ(ValueOf(empty.Root()), ">x");

    Parsed spaced("<r>< b/></r>");
    EXPECT_EQ(ValueOf(spaced.Root()), "b/>");
}

TEST(XmlReaderRecovery, ABadEndOfStartTagDropsTheElementWithItsAttributes) {
    Parsed question("<r><a x='1' ?>t</a><c/></r>");
    // The dropped a's "</a>" then closes r: c becomes a second top-level element, and "</r>"
    // is left over at the top level.
    EXPECT_FALSE(question.ok);
    EXPECT_EQ(ChildNames(question.Root()), "");
    EXPECT_EQ(ValueOf(question.Root()), "?>t");
    XmlNode next;
    ASSERT_TRUE(question.Root().NextSibling(next));
    EXPECT_EQ(NameOf(next), "c");

    // Scanning resumes after a '/' that is not followed by '>'.
    Parsed slash("<r><a/b>c</r>");
    EXPECT_EQ(ChildNames(slash.Root()), "");
    EXPECT_EQ(ValueOf(slash.Root()), "b>c");

    // Without '=' or a quote the attribute stays (empty) and the tag's end is tested there.
    Parsed bare("<r><a x y='2'/><b z=3/></r>");
    EXPECT_EQ(ChildNames(bare.Root()), "");
    EXPECT_EQ(ValueOf(bare.Root()), "y='2'/>");
    Parsed flag("<r><a x/><b x =/></r>");
    EXPECT_EQ(ChildNames(flag.Root()), "a b");
    EXPECT_EQ(AttributeList(Child(flag.Root(), "a")), "x=");
}

TEST(XmlReaderRecovery, ClosingTagsCloseWhateverIsOpen) {
    Parsed mismatch("<A><x/></B>");
    ASSERT_TRUE(mismatch.ok);
    EXPECT_EQ(NameOf(mismatch.Root()), "A");
    EXPECT_EQ(ChildNames(mismatch.Root()), "x");

    // Without its '>' the enclosing content reads on from the byte found.
    Parsed open("<r><a></a x>text</r>");
    ASSERT_TRUE(open.ok);
    EXPECT_EQ(ChildNames(open.Root()), "a");
    EXPECT_EQ(ValueOf(open.Root()), "x>text");
    Parsed top("<a></a x>");
    EXPECT_FALSE(top.ok);
    EXPECT_EQ(NameOf(top.Root()), "a");
}

TEST(XmlReaderRecovery, TextEndingInsideAnElementKeepsEverythingRead) {
    Parsed start("<A>");
    ASSERT_TRUE(start.ok);
    EXPECT_EQ(NameOf(start.Root()), "A");

    Parsed nested("<r><a k='v'>text<b");
    ASSERT_TRUE(nested.ok);
    EXPECT_EQ(ChildNames(nested.Root()), "a");
    EXPECT_EQ(ValueOf(Child(nested.Root(), "a")), "text");

    // An unterminated value ends the text inside the start tag: the element is dropped.
    Parsed value("<r><a k='v");
    ASSERT_TRUE(value.ok);
    EXPECT_EQ(ChildNames(value.Root()), "");

    // Elements still open at the end have no sibling after them, whatever they hold.
    Parsed open("<r><a><x/><y/><b><z/>");
    ASSERT_TRUE(open.ok);
    EXPECT_EQ(ChildNames(open.Root()), "a");
    EXPECT_EQ(ChildNames(Child(open.Root(), "a")), "x y b");
    EXPECT_EQ(ChildNames(Child(Child(open.Root(), "a"), "b")), "z");
}

// Counts the blocks handed out and can refuse them from the n-th request on.
struct CountingSource {
    static inline int allocations = 0;
    static inline int live = 0;
    static inline int failFrom = -1;

    static void* Allocate(std::size_t size) noexcept {
        if (failFrom >= 0 && allocations >= failFrom)
            return nullptr;
        ++allocations;
        ++live;
        return std::malloc(size);
    }
    static void Deallocate(void* block) noexcept {
        if (block != nullptr)
            --live;
        std::free(block);
    }
    static void Reset(int failAt) {
        allocations = 0;
        live = 0;
        failFrom = failAt;
    }
    static constexpr XmlDocument::BlockSource kSource{Allocate, Deallocate};
};

std::string ManyElements(int count) {
    std::string text = "<r>";
    for (int i = 0; i < count; ++i)
        text += "<e a='" + std::to_string(i) + "'/>";
    return text + "</r>";
}

TEST(XmlReaderPool, BlocksAreKeptAndReusedAcrossParses) {
    CountingSource::Reset(-1);
    {
        XmlDocument document(CountingSource::kSource);
        EXPECT_EQ(CountingSource::allocations, 1);  // the document block
        std::string large = ManyElements(5000);
        ASSERT_TRUE(document.Parse(large.data()));
        const std::size_t blocks = document.PoolBlockCount();
        EXPECT_GT(blocks, 4u);
        EXPECT_EQ(CountingSource::allocations, 1 + static_cast<int>(blocks));

        // A second parse forgets the first tree and obtains no new block.
        std::string again = ManyElements(5000);
        std::string small = "<s>x</s>";
        ASSERT_TRUE(document.Parse(small.data()));
        ASSERT_TRUE(document.Parse(again.data()));
        EXPECT_EQ(document.PoolBlockCount(), blocks);
        EXPECT_EQ(CountingSource::allocations, 1 + static_cast<int>(blocks));
        XmlNode root;
        ASSERT_TRUE(document.FirstNode(root));
        EXPECT_EQ(root.ChildCount(1), 5000);
        XmlNode last;
        ASSERT_TRUE(root.FirstChild(last));
        while (last.NextSibling(last)) {
        }
        EXPECT_EQ(AttributeValue(last, "a"), "4999");
    }
    EXPECT_EQ(CountingSource::live, 0);
}

TEST(XmlReaderPool, AFailedBlockFailsTheParseSafely) {
    CountingSource::Reset(3);  // the document block and two pool blocks, then nothing
    {
        XmlDocument document(CountingSource::kSource);
        std::string text = ManyElements(5000);
        EXPECT_FALSE(document.Parse(text.data()));
        EXPECT_EQ(document.Status(), XmlStatus::OutOfMemory);
        EXPECT_EQ(document.PoolBlockCount(), 2u);
        // What was read before stays reachable and whole.
        XmlNode root;
        ASSERT_TRUE(document.FirstNode(root));
        const int children = root.ChildCount(1);
        EXPECT_GT(children, 1000);
        EXPECT_LT(children, 5000);
        // Text that fits in the blocks held parses again.
        std::string small = ManyElements(10);
        EXPECT_TRUE(document.Parse(small.data()));
    }
    EXPECT_EQ(CountingSource::live, 0);

    CountingSource::Reset(0);  // not even the document block
    XmlDocument none(CountingSource::kSource);
    std::string text = "<a/>";
    EXPECT_FALSE(none.Parse(text.data()));
    EXPECT_EQ(none.Status(), XmlStatus::OutOfMemory);
    XmlNode root;
    EXPECT_FALSE(none.FirstNode(root));
}

TEST(XmlReaderAccessors, ChildCountByDepth) {
    Parsed parsed("<A><B><C><E/></C></B><D/></A>");
    const XmlNode a = parsed.Root();
    EXPECT_EQ(a.ChildCount(1), 2);
    EXPECT_EQ(a.ChildCount(2), 3);
    EXPECT_EQ(a.ChildCount(3), 4);
    EXPECT_EQ(a.ChildCount(-1), 4);
    EXPECT_EQ(a.ChildCount(0), 0);
    EXPECT_EQ(a.ChildCount(-2), 0);
    EXPECT_EQ(Child(a, "D").ChildCount(-1), 0);
    EXPECT_EQ(XmlNode().ChildCount(1), -1);
    EXPECT_EQ(XmlNode().AttributeCount(), -1);
}

TEST(XmlReaderAccessors, NamedNavigationComparesExactBytes) {
    Parsed parsed("<r a='1' ab='2' A='3'><Row/><row/><Rows/><row/></r>");
    const XmlNode r = parsed.Root();
    XmlNode found;
    ASSERT_TRUE(r.FirstChild(found, "row", 3));
    EXPECT_TRUE(found.NextSibling(found, "row", 0));
    EXPECT_FALSE(found.NextSibling(found, "row", 0));
    EXPECT_FALSE(r.FirstChild(found, "Ro", 0));
    EXPECT_FALSE(r.FirstChild(found, nullptr, 0));
    ASSERT_TRUE(r.FirstAttribute(found, "ab", 2));
    EXPECT_EQ(ValueOf(found), "2");
    EXPECT_FALSE(r.FirstAttribute(found, "a", 2));  // the given text is shorter than length
    EXPECT_TRUE(r.NameEquals("r", 1));
    EXPECT_TRUE(r.NameEquals("r", 0));
    EXPECT_TRUE(r.NameEquals("rx", 1));
    EXPECT_FALSE(r.NameEquals("R", 1));
    EXPECT_FALSE(r.NameEquals(nullptr, 1));
}

TEST(XmlReaderAccessors, WrongKindsAndEmptyHandlesAreRefused) {
    Parsed parsed("<r a='1'><c/></r>");
    XmlNode attribute;
    ASSERT_TRUE(parsed.Root().FirstAttribute(attribute));
    XmlNode out;
    EXPECT_FALSE(attribute.FirstChild(out));
    EXPECT_FALSE(attribute.NextSibling(out));
    EXPECT_FALSE(attribute.NextAttribute(out));
    EXPECT_FALSE(parsed.Root().NextAttribute(out));
    EXPECT_TRUE(out.IsEmpty());

    const XmlNode empty;
    const char* text = "unchanged";
    std::uint32_t length = 9;
    EXPECT_FALSE(empty.Name(text, length));
    EXPECT_FALSE(empty.AsciiName(text, length));
    EXPECT_STREQ(text, "unchanged");
    EXPECT_TRUE(empty.RawName(text, length));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(length, 0u);
    bool flag = true;
    EXPECT_FALSE(empty.FlagValue(flag));
    EXPECT_FALSE(empty.NameEquals("r", 1));
}

TEST(XmlReaderAccessors, FlagAndAsciiValues) {
    Parsed parsed("<r><a v='True'/><a v='0'/><a v='yes'/><a v=''/><a v='1x'/><a v='f'/>"
                  "<a v='\xC3\xA9'/><a \xC3\xA9='x'/><a/></r>");
    XmlNode a;
    ASSERT_TRUE(parsed.Root().FirstChild(a));
    const int expected[] = {1, 0, -1, -1, 1, 0, -1};  // -1: refused
    for (int want : expected) {
        XmlNode value;
        ASSERT_TRUE(a.FirstAttribute(value));
        bool flag = want != 1;  // the opposite of what a read would give, to see it change
        const bool unchanged = flag;
        EXPECT_EQ(value.FlagValue(flag), want != -1) << ValueOf(value);
        EXPECT_EQ(flag, want == -1 ? unchanged : want == 1) << ValueOf(value);
        a.NextSibling(a);
    }
    XmlNode attribute;
    ASSERT_TRUE(parsed.Root().FirstChild(a, "a", 0));
    ASSERT_TRUE(a.FirstAttribute(attribute));
    std::string ascii = "old";
    EXPECT_TRUE(attribute.AsciiValue(ascii));
    EXPECT_EQ(ascii, "True");

    XmlNode accented = a;
    for (int i = 0; i < 6; ++i)
        accented.NextSibling(accented);
    ASSERT_TRUE(accented.FirstAttribute(attribute));
    ascii = "old";
    EXPECT_FALSE(attribute.AsciiValue(ascii));
    EXPECT_EQ(ascii, "old");
    const char* text = nullptr;
    std::uint32_t length = 0;
    EXPECT_TRUE(attribute.RawValue(text, length));
    EXPECT_EQ(std::string(text, length), "\xC3\xA9");

    ASSERT_TRUE(accented.NextSibling(accented));
    ASSERT_TRUE(accented.FirstAttribute(attribute));
    EXPECT_FALSE(attribute.AsciiName(text, length));
    EXPECT_TRUE(attribute.AsciiValue(ascii));
    EXPECT_EQ(ascii, "x");
}

// Nested far beyond what recursion on an 8 MiB stack (or under ASan's larger frames) survives.
TEST(XmlReaderNesting, AMillionNestedElementsParseWithoutRecursion) {
    constexpr int kDepth = 1000000;
    std::string text;
    text.reserve(kDepth * 7 + 16);
    for (int i = 0; i < kDepth; ++i)
        text += "<e>";
    text += "deep";
    for (int i = 0; i < kDepth; ++i)
        text += "</e>";
    text += "<last/>";
    Parsed parsed(text);
    ASSERT_TRUE(parsed.ok);

    XmlNode node = parsed.Root();
    int depth = 1;
    while (node.FirstChild(node))
        ++depth;
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(ValueOf(node), "deep");
    EXPECT_EQ(parsed.Root().ChildCount(-1), kDepth - 1);
    EXPECT_EQ(parsed.Root().ChildCount(3), 3);
    XmlNode last;
    ASSERT_TRUE(parsed.Root().NextSibling(last));
    EXPECT_EQ(NameOf(last), "last");

    // Never closed: every level still ends up in the tree.
    Parsed open(text.substr(0, 3 * kDepth));
    ASSERT_TRUE(open.ok);
    EXPECT_EQ(open.Root().ChildCount(-1), kDepth - 1);
}

}  // namespace
}  // namespace Database::Testing
