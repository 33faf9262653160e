// XmlParser.h: the in-place parse of one text into a document's tree.
#pragma once

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodePool.h"

namespace Database::Xml {

// Parses from start (zero-terminated, written over) into the children of document, taking records
// from pool and further pool blocks from source. listener, when not null, hears of each recovery,
// with offsets counted from base (the text given to Parse, start being past a byte-order mark).
// stoppedAt receives the byte where a failed parse stopped.
XmlStatus ParseText(ElementRecord& document, NodePool& pool, const XmlDocument::BlockSource& source, const char* base,
                    char* start, XmlRecoveryListener* listener, const char*& stoppedAt) noexcept;

}  // namespace Database::Xml
