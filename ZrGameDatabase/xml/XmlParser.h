// XmlParser.h: the in-place parse of one text into a document's tree.
#pragma once

#include "xml/XmlDocument.h"
#include "xml/XmlNode.h"
#include "xml/XmlNodePool.h"

namespace Database::Xml {

// Parses text (zero-terminated, written over) into the children of document, taking records from
// pool and further pool blocks from source. stoppedAt receives the byte where a failed parse
// stopped.
XmlStatus ParseText(ElementRecord& document, NodePool& pool, const XmlDocument::BlockSource& source, char* text,
                    const char*& stoppedAt) noexcept;

}  // namespace Database::Xml
