// The XML exchange forms of records: the service's own (types XMARC21 and
// XMAB2, MARC 21 and MAB2 alike) and standard MARCXML (type MARCXML).
//
//   <collection>                                          MARCXML:
//     <document idn="000000042" base="A">                 <collection xmlns=
//       <leader>...</leader>                              "http://www.loc.gov/
//       <controlfield tag="001">...</controlfield>        MARC21/slim">,
//       <datafield tag="245" ind1="1" ind2="0">           <record> without
//         <subfield code="a">...</subfield>               attributes, the
//       </datafield>                                      same elements
//     </document>
//   </collection>
//
// Reading is the same for all types. The input is split record by record
// without parsing (tags, comments, CDATA and processing instructions told
// apart by their delimiters); each record element ("document" or "record",
// under the root "collection" or deeper, or the root itself) is then parsed
// on its own, so that memory stays flat and a record that is not
// well-formed (bytes that are not UTF-8, a control character, a broken
// tag) is reported as unreadable with its place in the file
// ("line:column message") and its bytes as read, and reading goes on with
// the next record. A root other than "collection", text outside it, or a
// document that ends before its root does is kNotXmlCollection. Elements
// are matched by their local name, so namespaces and prefixes do not
// matter. A document type declaration is passed over; external entities
// and DTDs are never loaded. MARC 21 records (XMARC21, MARCXML) keep the
// fields and subfields the file defines (as from ISO 2709), MAB2 records
// all (for a conversion table to map).
//
// Writing goes through util/xml_text.h, so the document is always
// well-formed UTF-8: what a value cannot carry becomes U+FFFD and
// RecordWriter::replaced() counts it. The service's own form writes the
// fields and subfields the file's definitions know (all in the generic
// variant). MARCXML writes what a MARC 21 record carries: the leader first
// (24 characters, lengths as in ISO 2709, 09 "a", 10/11 "22", 20-23 "4500"
// when blank), tags of three digits, both indicators, no "L" subfields.
// Unreadable input written to an XML error file becomes the text of an
// element "unreadable".
//
// This module is the only user of the XML parser library.
#pragma once

#include <memory>

#include "imex/formats.h"

namespace corvanta::imex {

// Message of group "Import": an exported record had bytes or characters
// an XML document cannot carry, written as U+FFFD (how many).
inline constexpr std::int32_t kMsgBytesReplaced = 195;

std::unique_ptr<RecordReader> make_xml_reader(const FormatOptions& options, InputFile& in);
std::unique_ptr<RecordWriter> make_xml_writer(const FormatOptions& options, OutputFile& out);

}  // namespace corvanta::imex
