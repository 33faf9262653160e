// The XML reader against an independent, validating-grade parser (libxml2) on the real XML files
// of this machine and on the data files of these tests. For every well-formed file that declares no entities of its own, both must see
// the same element tree, the same attributes in the same order with the same values, and the same
// first text run of each element.
//
// Where the two differ by design, the comparison says so explicitly:
//  - the reader copies whitespace inside values unchanged, while an XML processor normalises line
//    ends (CR LF and lone CR become LF) and, in attribute values, turns tab, CR and LF into spaces;
//    the reader's side is normalised the same way before comparing. Only whitespace written
//    literally is normalised: a character reference such as &#10; stays the character it names;
//  - the reader trims the whitespace written before a text run, but keeps what references at its
//    start expand to (stylesheets write "&#10;" there), while the other side trims the expanded run;
//    that leading whitespace is dropped from the reader's value;
//  - the reader passes CDATA sections over, so their text never reaches a value; on the other side
//    a CDATA section only ends the text run it interrupts;
//  - the reader reads bytes: files whose text is in an encoding other than UTF-8 are not compared.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"

namespace Database::Testing {
namespace {

// One element as either parser saw it; children are indices into the same flat list.
struct Element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string value;
    std::vector<std::size_t> children;
};

struct Tree {
    std::vector<Element> elements;
    std::vector<std::size_t> topLevel;
};

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsXmlSpace(text[begin]))
        ++begin;
    while (end > begin && IsXmlSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

// Bytes of the UTF-8 form of the character a numeric reference ("&#...;" or "&#x...;", given
// from its '&' to its ';') names, as the reader writes it.
std::size_t Utf8Length(const std::string& reference) {
    const bool hex = reference.size() > 2 && reference[2] == 'x';
    std::uint32_t code = 0;
    for (std::size_t i = hex ? 3 : 2; i < reference.size() && code < 0x110000; ++i) {
        const char c = reference[i];
        if (c >= '0' && c <= '9')
            code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(c - '0');
        else if (hex && std::isxdigit(static_cast<unsigned char>(c)))
            code = code * 16 + static_cast<std::uint32_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        else
            break;
    }
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

bool IsXmlSpace(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return IsXmlSpace(c); });
}

enum class ValueKind { Attribute, Text };

// The reader's value (references expanded) as an XML processor reports it, worked out with the
// value as written in the file beside it. Literal CR LF and lone CR are line ends: LF in text, and
// in attribute values, like literal LF and tab, one space. What references expand to is kept,
// except whitespace from references at the start of a text. The two are walked side by side;
// where the expanded value stops matching what was written, the rest is kept as the reader gave
// it, so the comparison reports the disagreement.
std::string Normalised(const std::string& written, const std::string& expanded, ValueKind kind) {
    std::string out;
    std::size_t i = 0;  // in written
    std::size_t j = 0;  // in expanded
    while (i < written.size() && j < expanded.size()) {
        if (written[i] == '&') {
            const std::size_t end = written.find(';', i);
            if (end == std::string::npos)
                break;
            const std::string reference = written.substr(i, end + 1 - i);
            const std::size_t length = reference[1] == '#' ? Utf8Length(reference) : 1;
            if (length > expanded.size() - j)
                break;
            const std::string character = expanded.substr(j, length);
            if (!(kind == ValueKind::Text && out.empty() && IsXmlSpace(character)))
                out += character;
            i = end + 1;
            j += length;
            continue;
        }
        if (written[i] != expanded[j])
            break;
        char c = written[i];
        if (c == '\r' && i + 1 < written.size() && written[i + 1] == '\n') {
            if (j + 1 >= expanded.size() || expanded[j + 1] != '\n')
                break;
            ++i;
            ++j;
        }
        if (c == '\r')
            c = '\n';
        if (kind == ValueKind::Attribute && (c == '\t' || c == '\n'))
            c = ' ';
        out += c;
        ++i;
        ++j;
    }
    out.append(expanded, j, std::string::npos);
    return out;
}

// A value as written in the file, up to its terminator (an attribute's quote, the '<' after a
// text run). The reader expands in place from the first byte of the value, so the span it reports
// starts where the written value starts.
std::string Written(const std::string& bytes, const char* buffer, const char* value, ValueKind kind) {
    const auto at = reinterpret_cast<std::uintptr_t>(value);
    const auto base = reinterpret_cast<std::uintptr_t>(buffer);
    if (at <= base || at - base > bytes.size())
        return "";
    const std::size_t begin = at - base;
    const std::size_t end = bytes.find(kind == ValueKind::Attribute ? bytes[begin - 1] : '<', begin);
    return bytes.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// Builds the reference tree from SAX events. Text between two markup events is one run, as in the
// reader; the first run that is not all whitespace is the element's value.
struct ReferenceBuilder {
    Tree tree;
    std::vector<std::size_t> open;
    std::string pending;
    std::vector<bool> hasValue;
    bool usesEntities = false;

    void EndRun() {
        if (!open.empty() && !hasValue[open.back()] && !Trimmed(pending).empty()) {
            tree.elements[open.back()].value = Trimmed(pending);
            hasValue[open.back()] = true;
        }
        pending.clear();
    }

    static ReferenceBuilder& Of(void* context) { return *static_cast<ReferenceBuilder*>(context); }

    static void StartElement(void* context, const xmlChar* name, const xmlChar** attributes) {
        ReferenceBuilder& builder = Of(context);
        builder.EndRun();
        Element element;
        element.name = reinterpret_cast<const char*>(name);
        for (const xmlChar** attribute = attributes; attribute != nullptr && *attribute != nullptr; attribute += 2)
            element.attributes.emplace_back(reinterpret_cast<const char*>(attribute[0]),
                                            reinterpret_cast<const char*>(attribute[1]));
        const std::size_t index = builder.tree.elements.size();
        builder.tree.elements.push_back(std::move(element));
        builder.hasValue.push_back(false);
        if (builder.open.empty())
            builder.tree.topLevel.push_back(index);
        else
            builder.tree.elements[builder.open.back()].children.push_back(index);
        builder.open.push_back(index);
    }
    static void EndElement(void* context, const xmlChar*) {
        ReferenceBuilder& builder = Of(context);
        builder.EndRun();
        if (!builder.open.empty())
            builder.open.pop_back();
    }
    static void Characters(void* context, const xmlChar* text, int length) {
        Of(context).pending.append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    }
    static void Cdata(void* context, const xmlChar*, int) { Of(context).EndRun(); }
    static void Comment(void* context, const xmlChar*) { Of(context).EndRun(); }
    static void Instruction(void* context, const xmlChar*, const xmlChar*) { Of(context).EndRun(); }
    static void EntityDeclaration(void* context, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
        Of(context).usesEntities = true;
    }
    // Asked only for entities other than the five predefined ones.
    static xmlEntityPtr GetEntity(void* context, const xmlChar*) {
        Of(context).usesEntities = true;
        return nullptr;
    }
    static void Reference(void* context, const xmlChar*) { Of(context).usesEntities = true; }
    static void Silent(void*, const char*, ...) {}
};

// The reference tree, or false when the file is not well-formed.
bool ParseWithReference(const std::string& bytes, Tree& tree, bool& usesEntities) {
    xmlSAXHandler handler{};
    handler.initialized = 1;  // the SAX1 interface: qualified names, xmlns attributes kept in order
    handler.startElement = ReferenceBuilder::StartElement;
    handler.endElement = ReferenceBuilder::EndElement;
    handler.characters = ReferenceBuilder::Characters;
    handler.ignorableWhitespace = ReferenceBuilder::Characters;
    handler.cdataBlock = ReferenceBuilder::Cdata;
    handler.comment = ReferenceBuilder::Comment;
    handler.processingInstruction = ReferenceBuilder::Instruction;
    handler.entityDecl = ReferenceBuilder::EntityDeclaration;
    handler.getEntity = ReferenceBuilder::GetEntity;
    handler.reference = ReferenceBuilder::Reference;
    handler.warning = ReferenceBuilder::Silent;
    handler.error = ReferenceBuilder::Silent;
    handler.fatalError = ReferenceBuilder::Silent;
    // Without substitution the reference parser reports "&amp;" in attribute values as "&#38;";
    // the files compared declare no entities, so substitution touches only the predefined ones.
    xmlSubstituteEntitiesDefault(1);
    ReferenceBuilder builder;
    const int result = xmlSAXUserParseMemory(&handler, &builder, bytes.data(), static_cast<int>(bytes.size()));
    usesEntities = builder.usesEntities;
    tree = std::move(builder.tree);
    return result == 0;
}

std::string Text(const char* text, std::uint32_t length) {
    return std::string(text, length);
}

// The reader's tree, walked without recursion, normalised as an XML processor would report it.
// bytes is the text as read from the file, buffer the copy the document was parsed from.
Tree ReaderTree(const XmlDocument& document, const std::string& bytes, const char* buffer) {
    Tree tree;
    std::vector<std::pair<XmlNode, std::size_t>> pending;  // element, its parent's index (npos: top)
    XmlNode top;
    std::vector<XmlNode> tops;
    for (bool more = document.FirstNode(top); more; more = top.NextSibling(top))
        tops.push_back(top);
    for (auto it = tops.rbegin(); it != tops.rend(); ++it)
        pending.emplace_back(*it, std::string::npos);
    while (!pending.empty()) {
        auto [node, parent] = pending.back();
        pending.pop_back();
        Element element;
        const char* text;
        std::uint32_t length;
        node.Name(text, length);
        element.name = Text(text, length);
        node.Value(text, length);
        const std::string written = Written(bytes, buffer, text, ValueKind::Text);
        element.value = Normalised(written, Text(text, length), ValueKind::Text);
        XmlNode attribute;
        for (bool more = node.FirstAttribute(attribute); more; more = attribute.NextAttribute(attribute)) {
            attribute.Name(text, length);
            std::string name = Text(text, length);
            attribute.Value(text, length);
            const std::string written = Written(bytes, buffer, text, ValueKind::Attribute);
            element.attributes.emplace_back(std::move(name),
                                            Normalised(written, Text(text, length), ValueKind::Attribute));
        }
        const std::size_t index = tree.elements.size();
        tree.elements.push_back(std::move(element));
        if (parent == std::string::npos)
            tree.topLevel.push_back(index);
        else
            tree.elements[parent].children.push_back(index);
        std::vector<XmlNode> children;
        XmlNode child;
        for (bool more = node.FirstChild(child); more; more = child.NextSibling(child))
            children.push_back(child);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.emplace_back(*it, index);
    }
    return tree;
}

// The first difference between the trees, or "" when they agree.
std::string FirstDifference(const Tree& ours, const Tree& theirs) {
    if (ours.topLevel.size() != theirs.topLevel.size())
        return "top-level element count " + std::to_string(ours.topLevel.size()) + " vs " +
               std::to_string(theirs.topLevel.size());
    std::vector<std::pair<std::size_t, std::size_t>> pending;
    for (std::size_t i = 0; i < ours.topLevel.size(); ++i)
        pending.emplace_back(ours.topLevel[i], theirs.topLevel[i]);
    while (!pending.empty()) {
        const auto [mine, other] = pending.back();
        pending.pop_back();
        const Element& a = ours.elements[mine];
        const Element& b = theirs.elements[other];
        const std::string where = "element <" + b.name + "> #" + std::to_string(other) + ": ";
        if (a.name != b.name)
            return where + "name '" + a.name + "'";
        if (a.attributes != b.attributes) {
            std::string detail = where + "attributes differ:";
            for (const auto& [name, value] : a.attributes)
                detail += " [" + name + "=" + value + "]";
            detail += " vs";
            for (const auto& [name, value] : b.attributes)
                detail += " [" + name + "=" + value + "]";
            return detail;
        }
        if (a.value != b.value)
            return where + "value '" + a.value + "' vs '" + b.value + "'";
        if (a.children.size() != b.children.size())
            return where + "child count " + std::to_string(a.children.size()) + " vs " +
                   std::to_string(b.children.size());
        for (std::size_t i = 0; i < a.children.size(); ++i)
            pending.emplace_back(a.children[i], b.children[i]);
    }
    return "";
}

bool IsUtf8Text(const std::string& bytes) {
    if (bytes.find('\0') != std::string::npos)
        return false;  // UTF-16 or UTF-32
    const std::string head = bytes.substr(0, 200);
    const std::size_t encoding = head.find("encoding=");
    const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 128; });
    if (encoding == std::string::npos || ascii)
        return true;
    std::string name = head.substr(encoding + 10, 5);
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "utf-8";
}

std::vector<std::filesystem::path> XmlFilesOfTheMachine() {
    const char* roots[] = {ZRDB_TEST_DATA_DIR "/xml", "/usr/share/mime", "/usr/share/gdb",      "/usr/share/glib-2.0", "/usr/libexec/valgrind",
                           "/usr/share/xml",  "/usr/share/dbus-1",   "/usr/share/doc",      "/usr/share/X11",
                           "/usr/share/metainfo", "/usr/share/maven-repo", "/etc/xml", "/usr/lib/python3"};
    const std::string extensions[] = {".xml", ".xsd", ".xsl", ".xslt", ".svg", ".policy", ".its", ".ui"};
    std::vector<std::filesystem::path> files;
    for (const char* root : roots) {
        std::error_code error;
        if (!std::filesystem::is_directory(root, error))
            continue;
        std::filesystem::recursive_directory_iterator it(
            root, std::filesystem::directory_options::skip_permission_denied, error);
        for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            if (!it->is_regular_file(error) || it->file_size(error) > (64u << 20))
                continue;
            // Another parser's own sample files are no independent evidence.
            if (it->path().string().find("pugixml") != std::string::npos)
                continue;
            const std::string extension = it->path().extension().string();
            for (const std::string& wanted : extensions) {
                if (extension == wanted)
                    files.push_back(it->path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

enum class Outcome { Compared, NotWellFormed, WithEntities, OtherEncoding };

struct Comparison {
    Outcome outcome = Outcome::Compared;
    std::string difference;  // "" when both parsers agree
    std::size_t elements = 0;
};

Comparison Compare(const std::string& bytes) {
    Comparison comparison;
    Tree theirs;
    bool usesEntities = false;
    if (!ParseWithReference(bytes, theirs, usesEntities))
        comparison.outcome = Outcome::NotWellFormed;
    else if (usesEntities)
        comparison.outcome = Outcome::WithEntities;
    else if (!IsUtf8Text(bytes))
        comparison.outcome = Outcome::OtherEncoding;
    if (comparison.outcome != Outcome::Compared)
        return comparison;
    std::vector<char> buffer(bytes.begin(), bytes.end());
    buffer.push_back('\0');
    XmlDocument document;
    if (!document.Parse(buffer.data()))
        comparison.difference = "the reader refused the text at offset " + std::to_string(document.ErrorOffset());
    else
        comparison.difference = FirstDifference(ReaderTree(document, bytes, buffer.data()), theirs);
    comparison.elements = theirs.elements.size();
    return comparison;
}

// Whitespace written in a value and whitespace named by references in it are not the same to an
// XML processor (stylesheets write "&#10;" for a line break), and the comparison must neither
// blur that distinction nor report it as a difference.
TEST(XmlDifferential, NormalisesOnlyLiteralWhitespace) {
    const std::string text =
        "<r a='line&#10;break&#9;tab&#13;cr&#xD;&#xA;' b='tab\tlf\ncrlf\r\ncr\rend'"
        " c='&#x20AC;\t&#x1F3F0;&amp;&lt;&#233;\n'><e x=\"&#10;\" y=''/>"
        "<t>&#10;&#9;lead&#13;cr\r\nline\rend&#10;</t></r>";
    const Comparison comparison = Compare(text);
    ASSERT_EQ(comparison.outcome, Outcome::Compared);
    EXPECT_EQ(comparison.difference, "");

    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    XmlDocument document;
    ASSERT_TRUE(document.Parse(buffer.data()));
    const Tree ours = ReaderTree(document, text, buffer.data());
    ASSERT_EQ(ours.elements.size(), 3u);
    const auto& attributes = ours.elements[0].attributes;
    ASSERT_EQ(attributes.size(), 3u);
    EXPECT_EQ(attributes[0].second, "line\nbreak\ttab\rcr\r\n");
    EXPECT_EQ(attributes[1].second, "tab lf crlf cr end");
    EXPECT_EQ(attributes[2].second, "\xE2\x82\xAC \xF0\x9F\x8F\xB0&<\xC3\xA9 ");
    EXPECT_EQ(ours.elements[1].attributes[0].second, "\n");
    EXPECT_EQ(ours.elements[2].value, "lead\rcr\nline\nend");
}

TEST(XmlDifferential, AgreesWithAnIndependentParserOnTheMachinesXmlFiles) {
    const std::vector<std::filesystem::path> files = XmlFilesOfTheMachine();
    if (files.empty())
        GTEST_SKIP() << "no XML files found on this machine";
    int compared = 0;
    int notWellFormed = 0;
    int withEntities = 0;
    int otherEncoding = 0;
    std::size_t elements = 0;
    for (const std::filesystem::path& path : files) {
        std::ifstream stream(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        const Comparison comparison = Compare(bytes);
        switch (comparison.outcome) {
        case Outcome::NotWellFormed:
            ++notWellFormed;
            continue;
        case Outcome::WithEntities:
            ++withEntities;
            continue;
        case Outcome::OtherEncoding:
            ++otherEncoding;
            continue;
        case Outcome::Compared:
            break;
        }
        EXPECT_EQ(comparison.difference, "") << path;
        ++compared;
        elements += comparison.elements;
    }
    std::printf("compared %d XML files (%zu elements) of %zu found; not compared: %d not well-formed, "
                "%d with entities of their own, %d in another encoding\n",
                compared, elements, files.size(), notWellFormed, withEntities, otherEncoding);
    EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace Database::Testing
