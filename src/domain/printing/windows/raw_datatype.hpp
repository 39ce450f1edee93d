#pragma once

#include <string>

#include "domain/printing/windows/spooler.hpp"

namespace vantrel {

// The datatype a queue takes printer-language bytes in: "XPS_PASS" where its driver is built on
// XPS, "RAW" otherwise, as long as its print processor lists it; "" when it lists neither.
// `told` is false where the print processor's datatypes cannot be read (Wine cannot): the
// document then goes as "RAW", and nobody can say whether the queue takes it.
struct RawDatatype {
  std::u16string name;
  bool told = false;
};

[[nodiscard]] RawDatatype read_raw_datatype(Spooler& spooler, const PrinterHandle& printer);

}  // namespace vantrel
