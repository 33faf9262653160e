// XmlRecovery.h: the notes the XML reader gives about what it recovered from.
//
// The reader never stops at a syntax error: it drops or copies what it cannot read and goes on,
// and the tree it builds is the same whether anyone listens or not. A listener handed to
// XmlDocument::Parse hears of each recovery as it is made, in the order the reader meets them, so
// a host can tell the modder what was lost and where. Without a listener nothing is noted and
// nothing is spent on notes.
//
// What the reader reads is examined; what it passes over unread is not. Text runs after an
// element's first one, comments, processing instructions, CDATA sections and document type
// declarations are skipped without looking inside, so a bad reference there makes no note.
//
// A text that fails (Parse returns false: a stray byte at the top level, or no memory) makes no
// note for the failure itself, which Status and ErrorOffset describe; the recoveries made before
// it are noted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Database {

enum class XmlRecoveryKind {
    // The end of the text with this element still open; it stays in the tree with everything read
    // into it. One note per open element, innermost first. offset: the end of the text (its
    // terminating zero); openedAt: the element's start tag; name: the element's.
    UnclosedElement,
    // A closing tag whose name differs from that of the element it closes: it closes the element
    // anyway. offset: the closing tag; openedAt: the element's start tag; name: the element's;
    // other: the name written in the tag (length 0 for a tag without one, as in "</>" or "</ a>").
    MismatchedClosingTag,
    // A malformed start tag: no valid end ('>' or "/>") where its name or attributes end. The
    // element is dropped with its attributes and the bytes from the offending one on are read as
    // content. offset: the tag's '<'; name: the element's.
    DroppedStartTag,
    // An attribute whose value could not be read (no '=', no quote after it, or a value the text
    // ends in) in a start tag that is dropped because of it: it follows the DroppedStartTag note.
    // The reader never drops an attribute on its own; see AttributeWithoutValue. offset: the
    // attribute's name; name: the attribute's.
    DroppedAttribute,
    // A '<' that starts nothing. In content or at the top level it is dropped (copied false) and
    // the bytes after it are read as content: "<>", "< b>", a '<' at the end of the text, a
    // closing tag at the top level. In an attribute value it is kept in the value (copied true).
    // offset: the '<'.
    StrayLessThan,
    // A '&' that starts no reference, "&#;" and "&#X41;" included: copied into the value as it is,
    // and the bytes after it are read as ordinary ones (copied always true). offset: the '&'.
    StrayAmpersand,
    // A reference to an entity the reader does not know ("&nbsp;", "&AMP;"), copied unchanged
    // (copied always true). offset: the '&'; name: the entity's name, without '&' and ';'.
    UnknownEntity,
    // A construct at the top level after the first top-level element closed: the loader reads only
    // that first one. Noted for every element (whether kept or dropped), stray '<', CDATA section
    // and document type declaration there, not for comments and processing instructions, which
    // XML allows after the root. The construct's own notes, if any, follow. offset: its '<';
    // name: the element's, for a start tag with a name.
    ContentAfterRoot,
    // A closing tag with something other than '>' after its name and any whitespace: the element
    // is closed there and the bytes from the one found on are read as the enclosing content.
    // Fields as for MismatchedClosingTag, which comes first when the names differ too.
    UnterminatedClosingTag,
    // An attribute without '=' or without a quoted value ("<a x>", "<a x=/>") in a start tag that
    // ends right after it: the attribute is kept without a value (it reads as empty). offset: the
    // attribute's name; name: the attribute's.
    AttributeWithoutValue,
    // A numeric reference to no character of XML: zero, a control code other than tab, line feed
    // and carriage return, a surrogate, U+FFFE, U+FFFF, a code above U+10FFFF, more digits than
    // 32 bits hold, or a decimal reference with the letters a to f in it. The reader writes the
    // code it read (copied true), or nothing for a code above U+10FFFF (copied false). offset: the
    // '&'; name: the reference without '&' and ';' ("#x110000").
    BadCharacterReference,
    // A comment, CDATA section, processing instruction or declaration, document type declaration
    // or unknown "<!" construct that the end of the text cuts short: the rest of the text was
    // passed over as part of it. offset: its '<'; name: its opening bytes ("<!--", "<![CDATA[",
    // "<?", "<!DOCTYPE" or "<!").
    UnclosedMarkup,
    // A "<!" that opens no comment, CDATA section or document type declaration ("<!- x ->",
    // "<!doctype x>", "<!ELEMENT ...>" outside a document type declaration): passed over up to
    // the next '>'. offset: its '<'.
    UnknownMarkup,
};

// One recovery. Offsets count bytes from the start of the text given to Parse (a byte-order mark
// counted) and always point into the text as it was before the parse, even inside values that
// references were expanded over. Name spans point into the text being parsed and are valid only
// during the call; they are null with length 0 where the kind has none.
struct XmlRecovery {
    XmlRecoveryKind kind;
    std::size_t offset;               // where the construct starts (see the kinds)
    const char* name = nullptr;       // the element, attribute, entity or markup concerned
    std::uint32_t nameLength = 0;
    const char* other = nullptr;      // MismatchedClosingTag, UnterminatedClosingTag: the tag's name
    std::uint32_t otherLength = 0;
    bool copied = false;              // StrayLessThan, StrayAmpersand, UnknownEntity,
                                      // BadCharacterReference: kept in the value (true) or dropped
    std::size_t openedAt = 0;         // UnclosedElement, MismatchedClosingTag,
                                      // UnterminatedClosingTag: the element's start tag
};

// Receives the notes of one parse. Called during Parse, from the parsing thread; it must not touch
// the document being parsed.
class XmlRecoveryListener {
public:
    virtual void OnRecovery(const XmlRecovery& recovery) noexcept = 0;

protected:
    ~XmlRecoveryListener() = default;
};

}  // namespace Database
