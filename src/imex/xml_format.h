// The XML exchange form of records (MARC 21 and MAB2 alike):
//
//   <collection>
//     <document idn="000000042" base="A">
//       <leader>...</leader>                              field LDR
//       <controlfield tag="001">...</controlfield>        tags 001 to 009
//       <datafield tag="245" ind1="1" ind2="0">           every other tag
//         <subfield code="a">...</subfield>
//       </datafield>
//     </document>
//   </collection>
//
// The reader parses the document piece by piece (memory stays flat) and
// gives one "document" per call. MARC 21 records keep the fields and
// subfields the file defines (as from ISO 2709), MAB2 records all (as from
// the MAB formats, for a conversion table to map). Elements are matched by
// their local name,
// so namespace prefixes do not matter, and a MARCXML "record" is read like
// a "document". External entities and DTDs are never loaded. A root other
// than "collection" is -3; a record in which the parser found an error is
// reported as unreadable with the parser's message, and reading goes on
// where the parser can.
//
// The writer writes the fields and subfields the file's definitions know
// (all in the generic variant); bytes the XML cannot carry (control
// characters) are written as blanks.
//
// This module is the only user of the XML parser library.
#pragma once

#include <memory>

#include "imex/formats.h"

namespace corvanta::imex {

std::unique_ptr<RecordReader> make_xml_reader(const FormatOptions& options, InputFile& in);
std::unique_ptr<RecordWriter> make_xml_writer(const FormatOptions& options, OutputFile& out);

}  // namespace corvanta::imex
