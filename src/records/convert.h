// Conversion between the internal form of records (how the database keeps
// them) and the external form (printable text, how commands, scripts and
// formats see them), by the data types of the tag and subfield definitions.
//
//   type      internal form                          external form
//   CHAR 1    text, trailing blanks removed          padded with blanks to the width
//   IDNR 2    4 bytes big-endian ("*": FF FF FF FF)  nine digits
//   NUMBER 4  sign byte (01 negative, FF else),      "-", integer part, and with
//             integer part, fraction when decimals   decimals "." and the fraction
//   DATE 5    4 bytes: the eight-digit date          eight digits
//   DATETIME 6  date and six-digit time, 4 bytes each  fourteen digits
//   URL 7     bytes unchanged                        bytes unchanged
//   MAIN 0    the field's subfields                  not converted
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "config/dictionary.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

class Translations;

// Converts an external text to internal form into `out`, cut at `capacity`
// (-404, the cut value delivered). -405 for an unknown type code.
ResultCode fld_to_internal(const dict::ValueType& type, std::string_view text, std::string& out,
                           std::size_t capacity);
// Converts internal data to external text into `out`, cut at `capacity`.
ResultCode fld_to_external(const dict::ValueType& type, std::span<const unsigned char> data, std::string& out,
                           std::size_t capacity);

// What whole-record conversion needs: the file's definitions, the work
// buffer size (MaxFldLen) and the pool's translations for input and output
// (empty names: none).
struct ConversionContext {
  const dict::FileDef* file = nullptr;
  std::size_t max_field_length = 7500;
  const Translations* translations = nullptr;
  std::string input_table;
  std::string output_table;
  char escape = '\\';
};

// The external form of `source` into `target` (emptied first); fields and
// subfields without definition are left out.
ResultCode rec_to_external(const ConversionContext& ctx, RecordHandle& source, RecordHandle& target);
// The internal form; pieces of type 255 and empty conversions are left out.
ResultCode rec_to_internal(const ConversionContext& ctx, RecordHandle& source, RecordHandle& target);

}  // namespace corvanta::records
