// Fuzz target of the XML reader: any bytes are parsed in place, then the whole tree is walked
// through the handles and checked: every span lies inside the text, counts agree with the walk,
// a failure points at a byte that really stands outside the root, and a second parse of the same
// bytes by a document whose pool is already in use, and with a listener, gives the same tree. Every
// note the listener hears must point at what its kind says stands there in the original bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"
#include "xml/XmlRecovery.h"

namespace {

using Database::XmlDocument;
using Database::XmlNode;
using Database::XmlRecovery;
using Database::XmlRecoveryKind;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

struct Walk {
    const char* begin;  // the parsed text
    const char* end;    // its terminating zero
    std::uint64_t hash = 1469598103934665603ull;
    std::size_t elements = 0;

    void Mix(std::uint64_t value) { hash = (hash ^ value) * 1099511628211ull; }

    void Span(const char* text, std::uint32_t length, bool isName) {
        if (length == 0)
            return;
        Check(text >= begin && text + length <= end);
        Check(!isName || std::memchr(text, '\0', length) == nullptr);
        for (std::uint32_t i = 0; i < length; ++i)
            Mix(static_cast<unsigned char>(text[i]));
        Mix(length);
    }

    void Node(const XmlNode& node) {
        const char* text = nullptr;
        std::uint32_t length = 0;
        Check(node.Name(text, length) && length > 0);
        Span(text, length, true);
        Check(node.NameEquals(text, length));
        Check(node.Value(text, length));
        Span(text, length, false);
        bool flag = false;
        Mix(node.FlagValue(flag) ? 2 + flag : 0);
        std::string ascii;
        Mix(node.AsciiValue(ascii) ? ascii.size() : 0);
    }

    void Element(const XmlNode& element) {
        Node(element);
        ++elements;
        int attributes = 0;
        XmlNode attribute;
        for (bool more = element.FirstAttribute(attribute); more; more = attribute.NextAttribute(attribute)) {
            Node(attribute);
            ++attributes;
        }
        Check(element.AttributeCount() == attributes);
        Mix(attributes);
    }

    // The subtree of top without recursion: first child, else next sibling, else up.
    void Tree(const XmlNode& top) {
        const std::size_t before = elements;
        std::vector<XmlNode> path{top};
        Element(top);
        while (!path.empty()) {
            XmlNode next;
            if (path.back().FirstChild(next)) {
                Element(next);
                path.push_back(next);
                Mix('d');
                continue;
            }
            while (!path.empty()) {
                XmlNode current = path.back();
                path.pop_back();
                Mix('u');
                if (path.empty())
                    break;
                if (current.NextSibling(next)) {
                    Element(next);
                    path.push_back(next);
                    break;
                }
            }
        }
        Check(static_cast<std::size_t>(top.ChildCount(-1)) == elements - before - 1);
    }

    void Document(const XmlDocument& document) {
        XmlNode top;
        for (bool more = document.FirstNode(top); more; more = top.NextSibling(top))
            Tree(top);
    }
};

// Checks each note against the original bytes (original) and the text being parsed (text).
struct NoteChecker final : Database::XmlRecoveryListener {
    NoteChecker(const char* originalText, std::size_t originalLength)
        : original(originalText), length(originalLength) {}

    const char* original;
    std::size_t length;  // up to the first zero byte: where the parse ends
    const char* text = nullptr;

    bool InText(const char* span, std::uint32_t spanLength) const {
        return span >= text && span + spanLength <= text + length;
    }
    // A span of the text that still holds the original bytes at offset.
    bool Original(const char* span, std::uint32_t spanLength, std::size_t offset) const {
        return InText(span, spanLength) && static_cast<std::size_t>(span - text) == offset &&
               std::memcmp(span, original + offset, spanLength) == 0;
    }

    void OnRecovery(const XmlRecovery& note) noexcept override {
        Check(note.offset <= length);
        Check(note.name != nullptr || note.nameLength == 0);
        Check(note.other != nullptr || note.otherLength == 0);
        const char at = original[note.offset];
        switch (note.kind) {
        case XmlRecoveryKind::UnclosedElement:
        case XmlRecoveryKind::MismatchedClosingTag:
        case XmlRecoveryKind::UnterminatedClosingTag:
            Check(note.openedAt < note.offset && original[note.openedAt] == '<');
            Check(note.nameLength > 0 && Original(note.name, note.nameLength, note.openedAt + 1));
            if (note.kind == XmlRecoveryKind::UnclosedElement)
                Check(note.offset == length);
            else
                Check(at == '<' && original[note.offset + 1] == '/' &&
                      Original(note.other, note.otherLength, note.offset + 2));
            break;
        case XmlRecoveryKind::DroppedStartTag:
            Check(at == '<' && Original(note.name, note.nameLength, note.offset + 1) && note.nameLength > 0);
            break;
        case XmlRecoveryKind::DroppedAttribute:
        case XmlRecoveryKind::AttributeWithoutValue:
            Check(note.nameLength > 0 && Original(note.name, note.nameLength, note.offset));
            break;
        case XmlRecoveryKind::StrayLessThan:
        case XmlRecoveryKind::ContentAfterRoot:
        case XmlRecoveryKind::UnclosedMarkup:
        case XmlRecoveryKind::UnknownMarkup:
            Check(at == '<');
            // A start tag's name after the '<'; the opening bytes of markup at the '<'.
            Check(note.name == nullptr ||
                  Original(note.name, note.nameLength, note.offset + (note.kind == XmlRecoveryKind::ContentAfterRoot)));
            break;
        case XmlRecoveryKind::StrayAmpersand:
        case XmlRecoveryKind::UnknownEntity:
        case XmlRecoveryKind::BadCharacterReference:
            Check(at == '&');
            Check(note.name == nullptr || (Original(note.name, note.nameLength, note.offset + 1) &&
                                           original[note.offset + 1 + note.nameLength] == ';'));
            break;
        default:
            Check(false);
        }
    }
};

// Parses a copy of the bytes, with the listener when one is given, and walks it; returns the
// tree's hash.
std::uint64_t ParseAndWalk(XmlDocument& document, const std::uint8_t* data, std::size_t size,
                           NoteChecker* checker = nullptr) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    // Measured before the parse: an expanded "&#0;" writes a zero byte into the text.
    const std::size_t length = std::strlen(text.data());
    if (checker != nullptr)
        checker->text = text.data();
    const bool ok = document.Parse(text.data(), checker);
    if (!ok) {
        Check(document.Status() == Database::XmlStatus::TextOutsideRoot);
        const std::size_t offset = document.ErrorOffset();
        Check(offset < length);
        const char stray = text[offset];
        Check(stray != '<' && stray != ' ' && stray != '\t' && stray != '\n' && stray != '\r');
    }
    Walk walk{text.data(), text.data() + length};
    walk.Mix(ok);
    walk.Document(document);
    return walk.hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One document for the whole run, so its pool blocks are reused from input to input.
    static XmlDocument* reused = new XmlDocument;
    XmlDocument fresh;
    const std::uint64_t tree = ParseAndWalk(*reused, data, size);
    Check(ParseAndWalk(fresh, data, size) == tree);
    std::vector<char> original(data, data + size);
    original.push_back('\0');
    NoteChecker checker{original.data(), std::strlen(original.data())};
    XmlDocument listened;
    Check(ParseAndWalk(listened, data, size, &checker) == tree);
    return 0;
}
